#pragma once
// Where alarms go: the routes stored in the event database's table AlarmRoutes (a table the
// engine's load and older programs do not read), their rules and their one-line description,
// which never shows a secret.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alarms/Alarm.h"
#include "database/DBEngine.h"

namespace qtx::alarms {

inline constexpr const char* RouteTable = "AlarmRoutes";

enum class RouteType { Webhook, Email, Snmp };

std::string RouteTypeName(RouteType t);
// "webhook", "email", "snmp" back to the type; nullopt for any other name.
std::optional<RouteType> ParseRouteType(const std::string& name);

struct AlarmRoute {
    int64_t Id = 0;
    RouteType Type = RouteType::Webhook;
    std::string Target;  // webhook: the URL; e-mail: smtp://HOST:PORT; SNMP: HOST:PORT
    std::string Secret;  // webhook: the HMAC key; e-mail: the password; SNMP: the community
    std::vector<AlarmKind> Kinds;  // empty: every kind
    std::string MailFrom, MailTo, MailUser;
    bool StartTls = false;

    bool Accepts(AlarmKind k) const;
};

// "take-not-confirmed,link-down" as kinds; throws std::invalid_argument naming a bad one.
std::vector<AlarmKind> ParseKindList(const std::string& text);
// What is wrong with a route, one message each (empty when nothing is).
std::vector<std::string> CheckRoute(const AlarmRoute& r);
// "1  webhook  http://127.0.0.1:9000/hook  secret set  kinds all"
std::string DescribeRoute(const AlarmRoute& r);

// Every route, in the order added (none when the file has no such table).
std::vector<AlarmRoute> LoadRoutes(Database& db);
// Stores a route (making the table when missing) and returns its id.
int64_t AddRoute(Database& db, const AlarmRoute& r);
// false when there is no route with that id.
bool RemoveRoute(Database& db, int64_t id);

}  // namespace qtx::alarms
