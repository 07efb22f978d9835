#include "console/ConsoleServer.h"

#include <fstream>
#include <sstream>

#include "common/Limits.h"
#include "console/ConsoleAlarms.h"
#include "console/EventsApi.h"
#include "console/HttpJson.h"
#include "console/HttpServer.h"
#include "console/LogTail.h"
#include "console/Metrics.h"
#include "console/StatusStream.h"

namespace qtx::console {

using nlohmann::json;

namespace {

const char* kCookie = "qtx_session";

std::string CookieValue(const HttpRequest& req, const std::string& name) {
    std::string header = req.get_header_value("Cookie");
    std::istringstream parts(header);
    std::string part;
    while (std::getline(parts, part, ';')) {
        size_t start = part.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        part = part.substr(start);
        if (part.rfind(name + "=", 0) == 0)
            return part.substr(name.size() + 1);
    }
    return {};
}

std::string ContentType(const std::string& name) {
    auto ends = [&](const char* ext) {
        std::string e(ext);
        return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".html"))
        return "text/html; charset=utf-8";
    if (ends(".css"))
        return "text/css; charset=utf-8";
    if (ends(".js"))
        return "text/javascript; charset=utf-8";
    if (ends(".svg"))
        return "image/svg+xml";
    if (ends(".png"))
        return "image/png";
    return "application/octet-stream";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(path + ": cannot be read");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

ConsoleServer::ConsoleServer(ConsoleOptions options)
    : options_(std::move(options)),
      proxies_(options_.TrustedProxies),
      names_(options_.Names, options_.Host, options_.Port, Tls()),
      accounts_(options_.Folder),
      audit_(options_.Folder),
      settings_(options_.Folder),
      engine_(options_.Folder) {
    HttpServerOptions http{options_.Host, options_.Port, {}, {}};
    if (Tls()) {
        http.TlsCert = ReadAll(options_.TlsCert);
        http.TlsKey = ReadAll(options_.TlsKey);
    }
    events_ = std::make_unique<EventsApi>(options_.Folder, audit_, *clock_);
    StaticFiles();
    routes_ = std::make_unique<RouteTable>(Table());
    http_ = std::make_unique<HttpServer>(
        std::move(http), proxies_,
        [this](const std::string& method, const std::string& path) {
            return routes_->BodyLimit(method, path);
        },
        [this](HttpRequest& req, HttpResponse& res) { Handle(req, res); }, &Refused);
    engine_.OnChange([this] { http_->WakeStreams(); });
    alarms_ = std::make_unique<ConsoleAlarms>(options_.Folder, *clock_, engine_);
    engine_.OnAlarm([this](const json& stored, bool live) { alarms_->FromEngine(stored, live); });
}

ConsoleServer::~ConsoleServer() {
    Stop();
    engine_.OnChange(nullptr);  // the state's own destructor stops it again
}

int ConsoleServer::Bind() {
    int port = http_->Start();
    names_.SetPort(port);
    return port;
}

void ConsoleServer::Run() {
    alarms_->Start();
    engine_.Start();
    std::unique_lock lock(stopMutex_);
    stopped_.wait(lock, [this] { return stop_; });
}

void ConsoleServer::Stop() {
    engine_.Stop();  // ends the streams first
    alarms_->Stop();
    http_->Stop();
    std::lock_guard lock(stopMutex_);
    stop_ = true;
    stopped_.notify_all();
}

void ConsoleServer::StaticFiles() {
    struct Entry {
        const char* Name;
        bool Public;
    };
    const Entry entries[] = {
        {"login.html", true},     {"login.js", true},     {"style.css", true},
        {"favicon.svg", true},    {"week.html", false},   {"week.js", false},
        {"event.html", false},    {"event.js", false},    {"preview.html", false},
        {"preview.js", false},    {"status.html", false}, {"status.js", false},
        {"settings.html", false}, {"settings.js", false}, {"users.html", false},
        {"users.js", false},      {"common.js", false},   {"calendars.html", false},
        {"calendars.js", false},
    };
    for (const Entry& e : entries)
        files_["/" + std::string(e.Name)] =
            StaticFile{ContentType(e.Name), ReadAll(options_.WebDir + e.Name), e.Public};
}

std::optional<Session> ConsoleServer::SessionOf(const HttpRequest& req) {
    std::string id = CookieValue(req, kCookie);
    if (id.empty())
        return std::nullopt;
    return sessions_.Find(id);
}

void ConsoleServer::Login(const HttpRequest& req, HttpResponse& res) {
    json body = BodyJson(req);
    if (!body.is_object())
        throw ApiError(400, "login: expected {\"user\": ..., \"password\": ...}");
    for (auto& [k, v] : body.items())
        if (k != "user" && k != "password")
            throw ApiError(400, "login: unknown field \"" + k + "\"");
    if (!body.contains("user") || !body["user"].is_string() || !body.contains("password") ||
        !body["password"].is_string())
        throw ApiError(400, "login: user and password must be texts");
    std::string user = body["user"];
    std::string password = body["password"];
    // Too long to be anyone's: refused before it is checked, kept or written.
    if (user.size() > limits::MaxUserName || password.size() > limits::MaxPassword)
        throw ApiError(
            400, "login: a user name has at most " + std::to_string(limits::MaxUserName) +
                     " characters, a password at most " + std::to_string(limits::MaxPassword));
    LoginAdmission admission = throttle_.TryAcquire(req.remote_addr, clock_->TickCount());
    if (!admission.Allowed) {
        res.set_header("Retry-After", std::to_string(admission.RetryAfterSeconds));
        throw ApiError(429, "too many logins from " + req.remote_addr + "; try again in " +
                                std::to_string(admission.RetryAfterSeconds) + " s");
    }
    std::optional<Role> role = accounts_.Verify(user, password);
    if (!role) {
        audit_.Append(user, req.remote_addr, "login-failed", "", nullptr, nullptr);
        throw ApiError(401, "wrong user name or password");
    }
    Session s = sessions_.Create(user, *role);
    bool secure = Tls() || req.get_header_value("X-Forwarded-Proto") == "https";
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + s.Id +
                                     "; Path=/; HttpOnly; SameSite=Strict" +
                                     (secure ? "; Secure" : ""));
    audit_.Append(user, req.remote_addr, "login", "", nullptr, nullptr);
    ReplyJson(res, 200, json{{"csrf", s.Csrf}, {"role", RoleName(*role)}, {"user", user}});
}

void ConsoleServer::Logout(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    sessions_.End(s.Id);
    audit_.Append(s.User, req.remote_addr, "logout", "", nullptr, nullptr);
    res.set_header("Set-Cookie",
                   std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    ReplyJson(res, 200, json{{"ok", true}});
}

void ConsoleServer::SessionInfo(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    ReplyJson(res, 200, json{{"user", s.User}, {"role", RoleName(s.UserRole)}, {"csrf", s.Csrf}});
}

void ConsoleServer::Status(const HttpRequest&, HttpResponse& res) {
    ReplyJson(res, 200, engine_.Status());
}

void ConsoleServer::StatusStream(const HttpRequest& req, HttpResponse& res) {
    std::optional<AccountShares::Hold> share = streamShares_.TryTake(req.session->User);
    if (!share)
        throw ApiError(429, "\"" + req.session->User + "\" has " +
                                std::to_string(limits::StreamsPerAccount) +
                                " status streams open, the most one account may hold; close one "
                                "(another tab's Status page) first");
    if (streams_.fetch_add(1) >= qtx::limits::ConsoleMaxStreams) {
        streams_.fetch_sub(1);
        throw ApiError(503, "too many status streams open; try again later");
    }
    res.set_header("X-Accel-Buffering", "no");  // a reverse proxy passes events at once
    res.set_stream(std::make_shared<console::StatusStream>(engine_, streams_, std::move(*share)),
                   "text/event-stream");
}

void ConsoleServer::Activity(const HttpRequest& req, HttpResponse& res) {
    LogLines(req, res, "Tally.Dat");
}

void ConsoleServer::Errors(const HttpRequest& req, HttpResponse& res) {
    LogLines(req, res, "Errorlog.txt");
}

void ConsoleServer::LogLines(const HttpRequest& req, HttpResponse& res, const std::string& path) {
    int lines = limits::LogLinesDefault;
    if (req.has_param("lines"))
        lines = static_cast<int>(
            ParseNumber(req.get_param_value("lines"), 1, limits::LogLinesMax, "lines"));
    ReplyJson(res, 200, json{{"lines", LastLogLines(options_.Folder + path, lines)}});
}

void ConsoleServer::ReadSettings(const HttpRequest&, HttpResponse& res) {
    ReplyJson(res, 200, settings_.Read());
}

void ConsoleServer::UpdateSettings(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    json before, after;
    std::vector<FieldError> errors =
        settings_.Update(BodyJson(req), before, after, [&](const json& was, const json& now) {
            audit_.Record(s.User, req.remote_addr, "settings-update", "settings", was, now);
        });
    if (!errors.empty()) {
        json list = json::array();
        for (const FieldError& e : errors)
            list.push_back({{"field", e.Field}, {"message", e.Message}});
        ReplyJson(res, 422, json{{"error", errors.front().Message}, {"errors", list}});
        return;
    }
    ReplyJson(res, 200, after);
}

void ConsoleServer::ListUsers(const HttpRequest&, HttpResponse& res) {
    json list = json::array();
    for (const Account& a : accounts_.List())
        list.push_back({{"name", a.Name}, {"role", RoleName(a.AccountRole)}});
    ReplyJson(res, 200, list);
}

void ConsoleServer::CreateUser(const HttpRequest& req, HttpResponse& res) {
    SetUser(req, res, true);
}

void ConsoleServer::ChangeUser(const HttpRequest& req, HttpResponse& res) {
    SetUser(req, res, false);
}

void ConsoleServer::SetUser(const HttpRequest& req, HttpResponse& res, bool create) {
    const Session& s = *req.session;
    json body = BodyJson(req);
    if (!body.is_object())
        throw ApiError(400, "user: expected a JSON object");
    std::string name = create ? "" : req.matches[1];
    std::optional<Role> role;
    std::optional<std::string> password;
    for (auto& [k, v] : body.items()) {
        if (k == "name" && create && v.is_string())
            name = v.get<std::string>();
        else if (k == "role" && v.is_string()) {
            role = RoleFromName(v.get<std::string>());
            if (!role)
                throw ApiError(422, "user: role \"" + v.get<std::string>() +
                                        "\" is not one of viewer, operator, admin");
        } else if (k == "password" && v.is_string())
            password = v.get<std::string>();
        else
            throw ApiError(400, "user: unknown field or wrong type: \"" + k + "\"");
    }
    std::optional<Account> existing = accounts_.Find(name);
    if (create && existing)
        throw ApiError(409, "user \"" + name + "\" exists already");
    if (!create && !existing)
        throw ApiError(404, "no user \"" + name + "\"");
    if (create && (!role || !password))
        throw ApiError(422, "user: a new user needs name, role and password");
    Role newRole = role ? *role : existing->AccountRole;
    json before =
        existing ? json{{"name", name}, {"role", RoleName(existing->AccountRole)}} : json(nullptr);
    json after{
        {"name", name}, {"role", RoleName(newRole)}, {"passwordChanged", password.has_value()}};
    try {
        accounts_.Set(name, newRole, password, [&] {
            audit_.Record(s.User, req.remote_addr, "user-set", name, before, after);
        });
    } catch (const std::invalid_argument& e) {
        throw ApiError(422, std::string("user: ") + e.what());
    }
    if (!create)
        sessions_.EndUser(name);  // a changed role or password takes effect at once
    ReplyJson(res, create ? 201 : 200, json{{"name", name}, {"role", RoleName(newRole)}});
}

void ConsoleServer::RemoveUser(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    std::string name = req.matches[1];
    std::optional<Account> existing = accounts_.Find(name);
    try {
        if (!accounts_.Remove(name, [&] {
                audit_.Record(s.User, req.remote_addr, "user-remove", name,
                              json{{"name", name}, {"role", RoleName(existing->AccountRole)}},
                              nullptr);
            }))
            throw ApiError(404, "no user \"" + name + "\"");
    } catch (const std::invalid_argument& e) {
        throw ApiError(409, std::string("user: ") + e.what());
    }
    sessions_.EndUser(name);
    ReplyJson(res, 200, json{{"ok", true}});
}

void ConsoleServer::Metrics(const HttpRequest&, HttpResponse& res) {
    res.set_content(MetricsText(engine_.GetCounts(), options_.Folder,
                                {accounts_.PasswordChecks(), throttle_.Refused()}) +
                        alarms_->MetricsText(),
                    "text/plain; version=0.0.4; charset=utf-8");
}

// Pages: only the login page without a session.
void ConsoleServer::Page(const HttpRequest& req, HttpResponse& res) {
    std::string path = req.path == "/" ? "/week.html" : req.path;
    auto it = files_.find(path);
    if (it == files_.end()) {
        res.status = 404;
        res.set_content("Not found", "text/plain");
        return;
    }
    if (!it->second.Public && !SessionOf(req)) {
        res.status = 302;
        res.set_header("Location", "/login.html");
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(it->second.Body, it->second.Type);
}

}  // namespace qtx::console
