#pragma once
// qtx-console's HTTP server: the pages and the JSON API for one program folder. Every API path
// but login needs a session; a change also needs the session's CSRF token and a role that allows
// it; every change is written to the audit file.
#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "console/Accounts.h"
#include "console/AuditLog.h"
#include "console/ConsoleClock.h"
#include "console/EngineState.h"
#include "console/LoginThrottle.h"
#include "console/Sessions.h"
#include "console/SettingsStore.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qtx::console {

class EventsApi;

struct ConsoleOptions {
    std::string Folder;  // program folder, ending in "/"
    std::string Host = "127.0.0.1";
    int Port = 8080;  // 0 picks a free port
    std::string TlsCert, TlsKey;
    std::string WebDir;  // the static pages, ending in "/"
};

class ConsoleServer {
  public:
    static constexpr size_t kMaxBody = 64 * 1024;
    static constexpr int kMaxStreams = 64;

    // Throws std::runtime_error when the accounts file, the pages or the TLS files cannot be read.
    explicit ConsoleServer(ConsoleOptions options);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Binds the listening socket; returns the port. Throws std::runtime_error when it cannot.
    int Bind();
    // Serves until Stop().
    void Run();
    // Safe from another thread.
    void Stop();
    bool Tls() const { return !options_.TlsCert.empty(); }

  private:
    void Routes();
    void StaticFiles();
    std::optional<Session> SessionOf(const httplib::Request& req);
    Session Require(const httplib::Request& req, Role role);

    ConsoleOptions options_;
    std::unique_ptr<httplib::Server> http_;
    Accounts accounts_;
    Sessions sessions_;
    std::unique_ptr<Clock> clock_ = MakeConsoleClock();
    LoginThrottle throttle_;
    AuditLog audit_;
    SettingsStore settings_;
    EngineState engine_;
    std::unique_ptr<EventsApi> events_;
    std::atomic<int> streams_{0};
    struct StaticFile {
        std::string Type, Body;
        bool Public = false;  // served without a session
    };
    std::map<std::string, StaticFile> files_;
};

}  // namespace qtx::console
