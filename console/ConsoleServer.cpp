#include "console/ConsoleServer.h"

#include <httplib.h>

#include <fstream>
#include <sstream>

#include "common/Limits.h"
#include "console/EventsApi.h"
#include "console/HttpJson.h"
#include "console/LogTail.h"
#include "console/Metrics.h"

namespace qtx::console {

using nlohmann::json;

namespace {

const char* kCookie = "qtx_session";

bool IsChange(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

std::string CookieValue(const httplib::Request& req, const std::string& name) {
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
      accounts_(options_.Folder),
      audit_(options_.Folder),
      settings_(options_.Folder),
      engine_(options_.Folder) {
    if (Tls()) {
        http_ =
            std::make_unique<httplib::SSLServer>(options_.TlsCert.c_str(), options_.TlsKey.c_str());
        if (!http_->is_valid())
            throw std::runtime_error("TLS certificate " + options_.TlsCert + " or key " +
                                     options_.TlsKey + " cannot be used");
    } else {
        http_ = std::make_unique<httplib::Server>();
    }
    // Streams hold a worker each; the pool is sized for them and for the API beside them. The
    // server takes ownership of the pool it is handed.
    http_->new_task_queue = [] {
        return std::make_unique<httplib::ThreadPool>(kMaxStreams + 32).release();
    };
    http_->set_payload_max_length(kMaxBody);
    http_->set_read_timeout(10, 0);
    events_ = std::make_unique<EventsApi>(
        options_.Folder, audit_,
        [this](const httplib::Request& req, Role role) { return Require(req, role); });
    StaticFiles();
    Routes();
}

ConsoleServer::~ConsoleServer() {
    Stop();
}

int ConsoleServer::Bind() {
    int port = options_.Port == 0
                   ? http_->bind_to_any_port(options_.Host)
                   : (http_->bind_to_port(options_.Host, options_.Port) ? options_.Port : -1);
    if (port <= 0)
        throw std::runtime_error("cannot listen on " + options_.Host + ":" +
                                 std::to_string(options_.Port));
    return port;
}

void ConsoleServer::Run() {
    engine_.Start();
    http_->listen_after_bind();
}

void ConsoleServer::Stop() {
    engine_.Stop();  // wakes the streams first, so the server's workers can end
    http_->stop();
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
        {"users.js", false},      {"common.js", false},
    };
    for (const Entry& e : entries)
        files_["/" + std::string(e.Name)] =
            StaticFile{ContentType(e.Name), ReadAll(options_.WebDir + e.Name), e.Public};
}

std::optional<Session> ConsoleServer::SessionOf(const httplib::Request& req) {
    std::string id = CookieValue(req, kCookie);
    if (id.empty())
        return std::nullopt;
    return sessions_.Find(id);
}

Session ConsoleServer::Require(const httplib::Request& req, Role role) {
    std::optional<Session> s = SessionOf(req);
    if (!s)
        throw ApiError(401, "not logged in");
    if (static_cast<int>(s->UserRole) < static_cast<int>(role))
        throw ApiError(403, "the role " + RoleName(s->UserRole) + " of \"" + s->User +
                                "\" does not allow this (needs " + RoleName(role) + ")");
    return *s;
}

void ConsoleServer::Routes() {
    httplib::Server& http = *http_;

    // Sessions and tokens are checked before any handler: no API path answers without a session,
    // and no change is made without the session's token.
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/api/", 0) != 0 || req.path == "/api/login")
            return httplib::Server::HandlerResponse::Unhandled;
        std::optional<Session> s = SessionOf(req);
        if (!s) {
            ReplyError(res, 401, "not logged in");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (IsChange(req.method) &&
            !Sessions::TokenMatches(s->Csrf, req.get_header_value("X-CSRF-Token"))) {
            ReplyError(res, 403, "missing or wrong X-CSRF-Token header");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                       "base-uri 'none'; form-action 'self'");
        if (req.path.rfind("/api/", 0) == 0)
            res.set_header("Cache-Control", "no-store");
    });
    // Replies the library makes itself (413 for an oversized body, 404, 400) get a message too.
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            ReplyError(res, res.status,
                       res.status == 413
                           ? "request body larger than " + std::to_string(kMaxBody) + " bytes"
                           : "request refused (HTTP " + std::to_string(res.status) + ")");
    });

    http.Post(
        "/api/login", Guarded([this](const httplib::Request& req, httplib::Response& res) {
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
            if (user.size() > limits::kMaxUserName || password.size() > limits::kMaxPassword)
                throw ApiError(400, "login: a user name has at most " +
                                        std::to_string(limits::kMaxUserName) +
                                        " characters, a password at most " +
                                        std::to_string(limits::kMaxPassword));
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
        }));

    http.Post("/api/logout", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                  Session s = Require(req, Role::Viewer);
                  sessions_.End(s.Id);
                  audit_.Append(s.User, req.remote_addr, "logout", "", nullptr, nullptr);
                  res.set_header(
                      "Set-Cookie",
                      std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
                  ReplyJson(res, 200, json{{"ok", true}});
              }));

    http.Get("/api/session", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                 Session s = Require(req, Role::Viewer);
                 ReplyJson(
                     res, 200,
                     json{{"user", s.User}, {"role", RoleName(s.UserRole)}, {"csrf", s.Csrf}});
             }));

    http.Get("/api/status", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                 Require(req, Role::Viewer);
                 ReplyJson(res, 200, engine_.Status());
             }));

    http.Get(
        "/api/status/stream", Guarded([this](const httplib::Request& req, httplib::Response& res) {
            Require(req, Role::Viewer);
            if (streams_.fetch_add(1) >= kMaxStreams) {
                streams_.fetch_sub(1);
                throw ApiError(503, "too many status streams open; try again later");
            }
            struct Position {
                bool Started = false;
                uint64_t Seq = 0, Gen = 0;
            };
            auto pos = std::make_shared<Position>();
            res.set_header("X-Accel-Buffering", "no");  // a reverse proxy passes events at once
            res.set_chunked_content_provider(
                "text/event-stream",
                [this, pos](size_t, httplib::DataSink& sink) {
                    std::optional<EngineState::Update> u =
                        engine_.WaitAfter(pos->Seq, pos->Gen,
                                          pos->Started ? std::chrono::milliseconds(15000)
                                                       : std::chrono::milliseconds(0));
                    if (engine_.Stopping())
                        return false;
                    std::string out;
                    if (!pos->Started && (!u || !u->Full)) {
                        // The first event is always the whole status.
                        u = engine_.WaitAfter(~0ull, 0, std::chrono::milliseconds(0));
                    }
                    pos->Started = true;
                    if (!u) {
                        out = ": keep-alive\n\n";
                    } else {
                        pos->Seq = u->Seq;
                        pos->Gen = u->Generation;
                        if (u->Full)
                            out = "event: status\ndata: " + u->Status + "\n\n";
                        for (const std::string& c : u->Changes)
                            out += "event: change\ndata: " + c + "\n\n";
                    }
                    return sink.write(out.data(), out.size());
                },
                [this](bool) { streams_.fetch_sub(1); });
        }));

    auto logLines = [this](const std::string& path) {
        return Guarded([this, path](const httplib::Request& req, httplib::Response& res) {
            Require(req, Role::Viewer);
            int lines = 100;
            if (req.has_param("lines"))
                lines =
                    static_cast<int>(ParseNumber(req.get_param_value("lines"), 1, 10000, "lines"));
            ReplyJson(res, 200, json{{"lines", LastLogLines(options_.Folder + path, lines)}});
        });
    };
    http.Get("/api/activity", logLines("Tally.Dat"));
    http.Get("/api/errors", logLines("Errorlog.txt"));

    http.Get("/api/settings", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                 Require(req, Role::Viewer);
                 ReplyJson(res, 200, settings_.Read());
             }));
    http.Put("/api/settings", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                 Session s = Require(req, Role::Admin);
                 json before, after;
                 std::vector<FieldError> errors = settings_.Update(
                     BodyJson(req), before, after, [&](const json& was, const json& now) {
                         audit_.Record(s.User, req.remote_addr, "settings-update", "settings", was,
                                       now);
                     });
                 if (!errors.empty()) {
                     json list = json::array();
                     for (const FieldError& e : errors)
                         list.push_back({{"field", e.Field}, {"message", e.Message}});
                     ReplyJson(res, 422, json{{"error", errors.front().Message}, {"errors", list}});
                     return;
                 }
                 ReplyJson(res, 200, after);
             }));

    http.Get("/api/users", Guarded([this](const httplib::Request& req, httplib::Response& res) {
                 Require(req, Role::Admin);
                 json list = json::array();
                 for (const Account& a : accounts_.List())
                     list.push_back({{"name", a.Name}, {"role", RoleName(a.AccountRole)}});
                 ReplyJson(res, 200, list);
             }));
    auto setUser = [this](const httplib::Request& req, httplib::Response& res, bool create) {
        Session s = Require(req, Role::Admin);
        json body = BodyJson(req);
        if (!body.is_object())
            throw ApiError(400, "user: expected a JSON object");
        std::string name = create ? "" : req.matches[1].str();
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
        json before = existing ? json{{"name", name}, {"role", RoleName(existing->AccountRole)}}
                               : json(nullptr);
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
    };
    http.Post("/api/users", Guarded([setUser](const httplib::Request& req, httplib::Response& res) {
                  setUser(req, res, true);
              }));
    http.Put(R"(/api/users/([^/]+))",
             Guarded([setUser](const httplib::Request& req, httplib::Response& res) {
                 setUser(req, res, false);
             }));
    http.Delete(R"(/api/users/([^/]+))",
                Guarded([this](const httplib::Request& req, httplib::Response& res) {
                    Session s = Require(req, Role::Admin);
                    std::string name = req.matches[1].str();
                    std::optional<Account> existing = accounts_.Find(name);
                    try {
                        if (!accounts_.Remove(name, [&] {
                                audit_.Record(
                                    s.User, req.remote_addr, "user-remove", name,
                                    json{{"name", name}, {"role", RoleName(existing->AccountRole)}},
                                    nullptr);
                            }))
                            throw ApiError(404, "no user \"" + name + "\"");
                    } catch (const std::invalid_argument& e) {
                        throw ApiError(409, std::string("user: ") + e.what());
                    }
                    sessions_.EndUser(name);
                    ReplyJson(res, 200, json{{"ok", true}});
                }));

    events_->Register(http);

    http.Get("/metrics", Guarded([this](const httplib::Request&, httplib::Response& res) {
                 res.set_content(MetricsText(engine_.GetCounts(), options_.Folder,
                                             {accounts_.PasswordChecks(), throttle_.Refused()}),
                                 "text/plain; version=0.0.4; charset=utf-8");
             }));

    // Unknown API paths answer 404 (after the session check above).
    http.Get(R"(/api/.*)", [](const httplib::Request&, httplib::Response& res) {
        ReplyError(res, 404, "no such API path");
    });

    // Pages: only the login page without a session.
    http.Get(R"(/([A-Za-z0-9._-]*))", [this](const httplib::Request& req, httplib::Response& res) {
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
    });
}

}  // namespace qtx::console
