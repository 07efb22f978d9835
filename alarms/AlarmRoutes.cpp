#include "alarms/AlarmRoutes.h"

#include <arpa/inet.h>

#include <sstream>
#include <stdexcept>

#include "alarms/Email.h"
#include "alarms/SnmpTrap.h"
#include "common/Text.h"

namespace qtx::alarms {

namespace {

std::string Text(const RawValue& v) {
    return v.kind == RawValue::Text || v.kind == RawValue::Blob ? v.bytes : std::string();
}

int64_t Number(const RawValue& v) {
    return v.kind == RawValue::Integer ? v.integer : 0;
}

// A UTF-8 text as a statement parameter (parameters are taken in the file's column encoding).
DbValue Param(const std::string& utf8) {
    return DbValue(Utf8ToCp1252(utf8));
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool HasBlankOrControl(const std::string& s) {
    for (char ch : s)
        if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f)
            return true;
    return false;
}

// local@domain, nothing a mail header or an SMTP command would take apart.
bool IsMailAddress(const std::string& a) {
    const size_t at = a.find('@');
    if (at == 0 || at == std::string::npos || at + 1 >= a.size() ||
        a.find('@', at + 1) != std::string::npos || HasBlankOrControl(a))
        return false;
    return a.find_first_of("<>()[],;:\\\"") == std::string::npos;
}

// smtp://127.0.0.1:25, smtp://localhost, smtp://[::1]:25
bool OnThisHost(const std::string& url) {
    const std::string rest = url.substr(url.find("://") + 3);
    const std::string host = rest[0] == '[' ? rest.substr(0, rest.find(']') + 1)
                                            : rest.substr(0, rest.find_first_of(":/"));
    in_addr a{};
    return host == "localhost" || host == "[::1]" ||
           (inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

}  // namespace

std::string RouteTypeName(RouteType t) {
    switch (t) {
        case RouteType::Webhook:
            return "webhook";
        case RouteType::Email:
            return "email";
        case RouteType::Snmp:
            break;
    }
    return "snmp";
}

std::optional<RouteType> ParseRouteType(const std::string& name) {
    for (RouteType t : {RouteType::Webhook, RouteType::Email, RouteType::Snmp})
        if (name == RouteTypeName(t))
            return t;
    return std::nullopt;
}

bool AlarmRoute::Accepts(AlarmKind k) const {
    if (Kinds.empty())
        return true;
    for (AlarmKind mine : Kinds)
        if (mine == k)
            return true;
    return false;
}

std::vector<AlarmKind> ParseKindList(const std::string& text) {
    std::vector<AlarmKind> out;
    std::istringstream in(text);
    std::string name;
    while (std::getline(in, name, ',')) {
        const auto k = ParseKind(name);
        if (!k) {
            std::string known;
            for (AlarmKind each : AllKinds())
                known += (known.empty() ? "" : ", ") + KindName(each);
            throw std::invalid_argument("kind \"" + name + "\" is not an alarm kind (" + known +
                                        ")");
        }
        out.push_back(*k);
    }
    if (out.empty() || text.back() == ',')
        throw std::invalid_argument("--kinds needs KIND,...");
    return out;
}

std::vector<std::string> CheckRoute(const AlarmRoute& r) {
    std::vector<std::string> problems;
    if (r.Type == RouteType::Webhook) {
        const bool scheme = StartsWith(r.Target, "http://") || StartsWith(r.Target, "https://");
        const size_t hostAt = r.Target.find("://") + 3;
        if (!scheme || hostAt >= r.Target.size() || r.Target[hostAt] == '/')
            problems.push_back("webhook URL \"" + r.Target +
                               "\" is not an http:// or https:// address with a host");
        for (char ch : r.Target)
            if (static_cast<unsigned char>(ch) <= ' ') {
                problems.push_back("webhook URL \"" + r.Target + "\" holds a blank or control");
                break;
            }
    }
    if (r.Type == RouteType::Email) {
        const bool smtps = StartsWith(r.Target, "smtps://");
        const bool scheme = StartsWith(r.Target, "smtp://") || smtps;
        const size_t hostAt = r.Target.find("://") + 3;
        if (!scheme || hostAt >= r.Target.size() || r.Target[hostAt] == '/' ||
            HasBlankOrControl(r.Target))
            problems.push_back("SMTP server \"" + r.Target +
                               "\" is not an smtp:// or smtps:// address with a host");
        if (!IsMailAddress(r.MailFrom))
            problems.push_back("--from \"" + r.MailFrom + "\" is not an e-mail address");
        for (const std::string& to : MailAddresses(r.MailTo))
            if (!IsMailAddress(to))
                problems.push_back("--to \"" + to + "\" is not an e-mail address");
        if (HasBlankOrControl(r.MailUser))
            problems.push_back("--user holds a blank or control");
        if (!r.MailUser.empty() && r.Secret.empty())
            problems.push_back("--user needs a password on standard input");
        // A password crosses the network only inside TLS; a relay on this host may take it
        // in the clear.
        if (!r.MailUser.empty() && !r.StartTls && !smtps && scheme && !OnThisHost(r.Target))
            problems.push_back(
                "--user needs --starttls or an smtps:// server (the password is "
                "never sent in the clear)");
    }
    if (r.Type == RouteType::Snmp) {
        if (!IsSnmpManager(r.Target))
            problems.push_back("SNMP manager \"" + r.Target +
                               "\" is not ADDRESS:PORT (an IPv4 address, or an IPv6 one in "
                               "brackets; not a name)");
        if (r.Secret.empty() || HasBlankOrControl(r.Secret))
            problems.push_back("the community is empty or holds a blank or control");
    }
    return problems;
}

std::string DescribeRoute(const AlarmRoute& r) {
    std::string kinds;
    for (AlarmKind k : r.Kinds)
        kinds += (kinds.empty() ? "" : ",") + KindName(k);
    std::string line = std::to_string(r.Id) + "  " + RouteTypeName(r.Type) + "  " + r.Target;
    if (r.Type == RouteType::Email) {
        line += "  from " + r.MailFrom + "  to " + r.MailTo;
        if (!r.MailUser.empty())
            line += "  user " + r.MailUser;
        if (r.StartTls)
            line += "  starttls";
    }
    const char* secretName = r.Type == RouteType::Webhook ? "secret"
                             : r.Type == RouteType::Email ? "password"
                                                          : "community";
    line += std::string("  ") + secretName + " " + (r.Secret.empty() ? "none" : "set");
    line += "  kinds " + (kinds.empty() ? std::string("all") : kinds);
    return line;
}

std::vector<AlarmRoute> LoadRoutes(Database& db) {
    std::vector<AlarmRoute> out;
    if (!db.HasTable(RouteTable))
        return out;
    const auto rows = db.QueryRaw(
        "SELECT Id, Type, Target, Secret, Kinds, MailFrom, MailTo, MailUser, StartTls FROM " +
        std::string(RouteTable) + " ORDER BY Id");
    for (const auto& row : rows) {
        AlarmRoute r;
        r.Id = Number(row[0]);
        const std::optional<RouteType> type = ParseRouteType(Text(row[1]));
        if (!type)
            continue;  // a type a later program added
        r.Type = *type;
        r.Target = Text(row[2]);
        r.Secret = Text(row[3]);
        try {
            if (!Text(row[4]).empty())
                r.Kinds = ParseKindList(Text(row[4]));
        } catch (const std::invalid_argument&) {
            // A kind this program does not know: the route still gets the kinds it does know.
            std::istringstream in(Text(row[4]));
            std::string name;
            while (std::getline(in, name, ','))
                if (const auto k = ParseKind(name))
                    r.Kinds.push_back(*k);
            if (r.Kinds.empty())
                continue;
        }
        r.MailFrom = Text(row[5]);
        r.MailTo = Text(row[6]);
        r.MailUser = Text(row[7]);
        r.StartTls = Number(row[8]) != 0;
        out.push_back(std::move(r));
    }
    return out;
}

int64_t AddRoute(Database& db, const AlarmRoute& r) {
    db.Execute("CREATE TABLE IF NOT EXISTS " + std::string(RouteTable) +
               " (Id INTEGER PRIMARY KEY AUTOINCREMENT, Type TEXT NOT NULL, Target TEXT NOT NULL,"
               " Secret TEXT, Kinds TEXT, MailFrom TEXT, MailTo TEXT, MailUser TEXT,"
               " StartTls INTEGER)");
    std::string kinds;
    for (AlarmKind k : r.Kinds)
        kinds += (kinds.empty() ? "" : ",") + KindName(k);
    db.Execute("INSERT INTO " + std::string(RouteTable) +
                   " (Type, Target, Secret, Kinds, MailFrom, MailTo, MailUser, StartTls)"
                   " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
               {Param(RouteTypeName(r.Type)), Param(r.Target), Param(r.Secret), Param(kinds),
                Param(r.MailFrom), Param(r.MailTo), Param(r.MailUser),
                DbValue(int64_t{r.StartTls ? 1 : 0})});
    return db.QueryValue("SELECT last_insert_rowid()").AsNumber();
}

bool RemoveRoute(Database& db, int64_t id) {
    if (!db.HasTable(RouteTable))
        return false;
    return db.Execute("DELETE FROM " + std::string(RouteTable) + " WHERE Id = ?1", {DbValue(id)}) >
           0;
}

}  // namespace qtx::alarms
