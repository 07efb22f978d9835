// The console's routes in one table, and the checks every request passes before its handler:
// Host (421), then what the route declares: a session (401), the console's own Origin and the
// session's CSRF token (403), the media type of the body (415), the role (403). Framing and size
// (413, 431) the server has checked already, before the body was held.
#include "common/Fault.h"
#include "console/ConsoleServer.h"
#include "console/EventsApi.h"
#include "console/HttpJson.h"

namespace qtx::console {

namespace {

namespace lim = qtx::limits;

const std::string kJson = "application/json";
const std::string kCsv = "text/csv";
const std::string kCalendar = "text/calendar";

bool IsChange(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

void SecurityHeaders(const HttpRequest& req, HttpResponse& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                   "base-uri 'none'; form-action 'self'");
    if (req.path.rfind("/api/", 0) == 0)
        res.set_header("Cache-Control", "no-store");
}

}  // namespace

std::vector<Route> ConsoleServer::Table() {
    using S = ConsoleServer;
    auto my = [this](void (S::*f)(const HttpRequest&, HttpResponse&)) -> RouteHandler {
        return [this, f](const HttpRequest& req, HttpResponse& res) { (this->*f)(req, res); };
    };
    auto db = [this](void (EventsApi::*f)(const HttpRequest&, HttpResponse&)) -> RouteHandler {
        return [this, f](const HttpRequest& req, HttpResponse& res) {
            events_->DatabaseFaults(f, req, res);
        };
    };
    const std::optional<Role> none, viewer = Role::Viewer, op = Role::Operator, admin = Role::Admin;
    const size_t body = lim::ConsoleMaxBody, no = lim::ConsoleMaxIgnoredBody;
    const MediaTypes csvOrJson{kCsv, kJson};
    const size_t dates = lim::ConsoleMaxCalendarBody;
    return {
        // method, path,              role,  media, body, handler
        {"POST", "/api/login", none, kJson, body, my(&S::Login)},
        {"POST", "/api/logout", viewer, "", no, my(&S::Logout)},
        {"GET", "/api/session", viewer, "", no, my(&S::SessionInfo)},
        {"GET", "/api/status", viewer, "", no, my(&S::Status)},
        {"GET", "/api/status/stream", viewer, "", no, my(&S::StatusStream)},
        {"GET", "/api/activity", viewer, "", no, my(&S::Activity)},
        {"GET", "/api/errors", viewer, "", no, my(&S::Errors)},
        {"GET", "/api/settings", viewer, "", no, my(&S::ReadSettings)},
        {"PUT", "/api/settings", admin, kJson, body, my(&S::UpdateSettings)},
        {"GET", "/api/users", admin, "", no, my(&S::ListUsers)},
        {"POST", "/api/users", admin, kJson, body, my(&S::CreateUser)},
        {"PUT", "/api/users/*", admin, kJson, body, my(&S::ChangeUser)},
        {"DELETE", "/api/users/*", admin, "", no, my(&S::RemoveUser)},
        {"GET", "/api/events", viewer, "", no, db(&EventsApi::List)},
        {"GET", "/api/events/*", viewer, "", no, db(&EventsApi::One)},
        {"POST", "/api/events", op, kJson, body, db(&EventsApi::Create)},
        {"PUT", "/api/events/*", op, kJson, body, db(&EventsApi::Update)},
        {"DELETE", "/api/events/*", op, "", no, db(&EventsApi::Delete)},
        {"GET", "/api/preview", viewer, "", no, db(&EventsApi::Preview)},
        {"POST", "/api/import", op, csvOrJson, lim::ConsoleMaxImportBody, db(&EventsApi::Import)},
        {"GET", "/api/week", viewer, "", no, db(&EventsApi::Week)},
        {"GET", "/api/calendars", viewer, "", no, db(&EventsApi::Calendars)},
        {"PUT", "/api/calendars", op, kJson, dates, db(&EventsApi::ReplaceCalendars)},
        {"GET", "/api/calendars/*", viewer, "", no, db(&EventsApi::OneCalendar)},
        {"PUT", "/api/calendars/*", op, kJson, dates, db(&EventsApi::SetCalendar)},
        {"DELETE", "/api/calendars/*", op, "", no, db(&EventsApi::DeleteCalendar)},
        {"POST", "/api/calendars/*/import", op, kCalendar, dates, db(&EventsApi::ImportCalendar)},
        {"GET", "/api/alarms", viewer, "", no, my(&S::AlarmList)},
        {"POST", "/api/alarms/*/ack", op, "", no, my(&S::AckAlarm)},
        {"GET", "/api/alarm-routes", admin, "", no, my(&S::ReadAlarmRoutes)},
        {"PUT", "/api/alarm-routes", admin, kJson, body, my(&S::UpdateAlarmRoutes)},
        {"GET", "/metrics", none, "", no, my(&S::Metrics)},
        {"GET", "/", none, "", no, my(&S::Page)},
        {"GET", "/*", none, "", no, my(&S::Page)},
    };
}

void ConsoleServer::CheckNeeds(const Route& route, HttpRequest& req) {
    std::optional<Session> s;
    if (route.Needs) {
        s = SessionOf(req);
        if (!s)
            throw ApiError(401, "not logged in");
    }
    if (!names_.OriginAllowed(req))
        throw ApiError(403, "Origin " + req.get_header_value("Origin") +
                                " is not this console's; cross-site requests are refused");
    if (s && IsChange(req.method) &&
        !Sessions::TokenMatches(s->Csrf, req.get_header_value("X-CSRF-Token")))
        throw ApiError(403, "missing or wrong X-CSRF-Token header");
    if (!route.Accepts.empty() && !route.Accepts.Has(RequestMediaType(req)))
        throw ApiError(415, "the body must be " + route.Accepts.Words() +
                                " (Content-Type: " + route.Accepts.Words() + ")");
    if (s && static_cast<int>(s->UserRole) < static_cast<int>(*route.Needs))
        throw ApiError(403, "the role " + RoleName(s->UserRole) + " of \"" + s->User +
                                "\" does not allow this (needs " + RoleName(*route.Needs) + ")");
    req.session = s;
}

void ConsoleServer::Handle(HttpRequest& req, HttpResponse& res) {
    try {
        if (!names_.HostAllowed(req))
            throw ApiError(421, "\"" + req.get_header_value("Host") +
                                    "\" is not a name of this console (see --host)");
        bool pathKnown = false;
        const Route* route = routes_->Find(req.method, req.path, req.matches, pathKnown);
        if (route) {
            CheckNeeds(*route, req);
            route->Handle(req, res);
        } else if (req.path.rfind("/api/", 0) == 0) {
            // Unknown API paths answer only with a session (and a change only with its token).
            CheckNeeds(Route{req.method, req.path, Role::Viewer, "", 0, nullptr}, req);
            if (pathKnown)
                throw ApiError(405, req.method + " is not served for " + req.path);
            throw ApiError(404, "no such API path");
        } else {
            CheckNeeds(Route{req.method, req.path, std::nullopt, "", 0, nullptr}, req);
            throw ApiError(pathKnown ? 405 : 404,
                           "request refused (HTTP " + std::to_string(pathKnown ? 405 : 404) + ")");
        }
    } catch (const ApiError& e) {
        ReplyApiError(res, e);
    } catch (const std::exception& e) {
        ReplyError(res, 500, std::string("internal error: ") + e.what());
    }
    SecurityHeaders(req, res);
}

void ConsoleServer::Refused(HttpResponse& res, int status, const std::string& message) {
    ReplyError(res, status, message);
    HttpRequest none;
    SecurityHeaders(none, res);
}

}  // namespace qtx::console
