// The alarm handlers: the alarm list and its acknowledgements, and the alarm routes of the
// Settings page, whose secrets never leave the console (shown as "set"; "set" sent back keeps
// the stored one).
#include <unistd.h>

#include "alarms/AlarmRoutes.h"
#include "alarms/RouteList.h"
#include "common/Constants.h"
#include "common/Fault.h"
#include "console/ConsoleAlarms.h"
#include "console/ConsoleServer.h"
#include "console/HttpJson.h"
#include "database/DBEngine.h"

namespace qtx::console {

namespace {

using alarms::AlarmRoute;
using alarms::RouteType;
using nlohmann::json;

constexpr const char* kSet = "set";

json RouteJson(const AlarmRoute& r) {
    json kinds = json::array();
    for (alarms::AlarmKind k : r.Kinds)
        kinds.push_back(alarms::KindName(k));
    return {{"id", r.Id},
            {"type", alarms::RouteTypeName(r.Type)},
            {"target", r.Target},
            {"secret", r.Secret.empty() ? "" : kSet},
            {"kinds", kinds},
            {"from", r.MailFrom},
            {"to", r.MailTo},
            {"user", r.MailUser},
            {"starttls", r.StartTls}};
}

json RoutesJson(const std::vector<AlarmRoute>& routes) {
    json list = json::array();
    for (const AlarmRoute& r : routes)
        list.push_back(RouteJson(r));
    return list;
}

std::string Text(const json& j, const char* name, const std::string& where) {
    if (!j.contains(name) || j[name].is_null())
        return "";
    if (!j[name].is_string())
        throw ApiError(400, where + ": " + name + " must be a text", name);
    return j[name].get<std::string>();
}

// A route as sent; a secret "set" takes the stored route's of the same id.
AlarmRoute RouteOf(const json& j, size_t index, const std::vector<AlarmRoute>& stored) {
    const std::string where = "route " + std::to_string(index + 1);
    if (!j.is_object())
        throw ApiError(400, where + ": expected a JSON object");
    AlarmRoute r;
    if (j.contains("id") && !j["id"].is_null()) {
        if (!j["id"].is_number_integer() || j["id"].get<int64_t>() < 0)
            throw ApiError(400, where + ": id must be a whole number", "id");
        r.Id = j["id"].get<int64_t>();
    }
    const std::optional<RouteType> type = alarms::ParseRouteType(Text(j, "type", where));
    if (!type)
        throw ApiError(422, where + ": type must be webhook, email or snmp", "type");
    r.Type = *type;
    r.Target = Text(j, "target", where);
    r.MailFrom = Text(j, "from", where);
    r.MailTo = Text(j, "to", where);
    r.MailUser = Text(j, "user", where);
    if (j.contains("starttls") && !j["starttls"].is_boolean())
        throw ApiError(400, where + ": starttls must be true or false", "starttls");
    r.StartTls = j.value("starttls", false);
    if (j.contains("kinds") && !j["kinds"].is_null()) {
        if (!j["kinds"].is_array())
            throw ApiError(400, where + ": kinds must be a list of kind names", "kinds");
        for (const json& k : j["kinds"]) {
            const auto kind =
                k.is_string() ? alarms::ParseKind(k.get<std::string>()) : std::nullopt;
            if (!kind)
                throw ApiError(422, where + ": " + k.dump() + " is not an alarm kind", "kinds");
            r.Kinds.push_back(*kind);
        }
    }
    const std::string secret = Text(j, "secret", where);
    if (secret == kSet) {
        const AlarmRoute* was = nullptr;
        for (const AlarmRoute& s : stored)
            if (r.Id != 0 && s.Id == r.Id && s.Type == r.Type && !s.Secret.empty())
                was = &s;
        if (!was)
            throw ApiError(422,
                           where + ": secret \"set\" keeps a stored secret, and route " +
                               std::to_string(r.Id) + " has none",
                           "secret");
        r.Secret = was->Secret;
    } else {
        r.Secret = secret;
    }
    for (const std::string& problem : alarms::CheckRoute(r))
        throw ApiError(422, where + ": " + problem, "target");
    return r;
}

Database OpenEventDatabase(const std::string& folder) {
    const std::string path = folder + constants::DatabaseFileName;
    if (access(path.c_str(), F_OK) != 0)
        throw ApiError(503, path + ": there is no event database in the program folder");
    DBEngine engine;
    return engine.OpenDatabase(path);
}

}  // namespace

void ConsoleServer::AlarmList(const HttpRequest&, HttpResponse& res) {
    ReplyJson(res, 200, alarms_->List());
}

void ConsoleServer::AckAlarm(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    const std::string id = req.matches.size() > 1 ? req.matches[1] : "";
    const auto before = alarms_->Desk().Find(id);
    if (!before)
        throw ApiError(404, "no alarm " + id);
    alarms::Alarm after = *before;
    after.AckedBy = s.User;
    audit_.Record(s.User, req.remote_addr, "alarm-ack", "alarm " + id, AlarmApiJson(*before),
                  {{"acked_by", s.User}});
    const auto acked = alarms_->Desk().Ack(id, s.User);
    ReplyJson(res, 200, AlarmApiJson(acked ? *acked : after));
}

void ConsoleServer::ReadAlarmRoutes(const HttpRequest&, HttpResponse& res) {
    try {
        Database db = OpenEventDatabase(options_.Folder);
        json out = {{"routes", RoutesJson(alarms::LoadRoutes(db))}};
        db.Close();
        json kinds = json::array();
        for (alarms::AlarmKind k : alarms::AllKinds())
            kinds.push_back(alarms::KindName(k));
        out["kinds"] = kinds;
        ReplyJson(res, 200, out);
    } catch (const Fault& f) {
        throw ApiError(503, "event database: " + f.Description);
    }
}

void ConsoleServer::UpdateAlarmRoutes(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    const json body = BodyJson(req);
    if (!body.is_object() || !body.contains("routes") || !body["routes"].is_array())
        throw ApiError(400, "alarm routes: expected {\"routes\": [...]}");
    try {
        Database db = OpenEventDatabase(options_.Folder);
        db.BeginTrans();
        try {
            const std::vector<AlarmRoute> stored = alarms::LoadRoutes(db);
            std::vector<AlarmRoute> routes;
            for (size_t i = 0; i < body["routes"].size(); ++i)
                routes.push_back(RouteOf(body["routes"][i], i, stored));
            const json before = {{"routes", RoutesJson(stored)}};
            alarms::ReplaceRoutes(db, routes);
            const json after = {{"routes", RoutesJson(alarms::LoadRoutes(db))}};
            audit_.Record(s.User, req.remote_addr, "alarm-routes-update", "alarm-routes", before,
                          after);
            db.CommitTrans();
            db.Close();
            alarms_->ReadRoutes();
            ReplyJson(res, 200, after);
        } catch (...) {
            if (db.InTransaction())
                db.Rollback();
            throw;
        }
    } catch (const Fault& f) {
        throw ApiError(503, "event database: " + f.Description + "; nothing was changed");
    }
}

}  // namespace qtx::console
