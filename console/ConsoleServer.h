#pragma once
// qtx-console's HTTP server: the pages and the JSON API for one program folder. Every API path
// but login needs a session; a change also needs the session's CSRF token and a role that allows
// it; every change is written to the audit file. The routes and what each needs are one table
// (ConsoleRoutes.cpp), checked in one place before any handler.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Limits.h"
#include "console/AccountShares.h"
#include "console/Accounts.h"
#include "console/AuditLog.h"
#include "console/ClientAddress.h"
#include "console/ConsoleClock.h"
#include "console/ConsoleNames.h"
#include "console/EngineState.h"
#include "console/HttpMessage.h"
#include "console/LoginThrottle.h"
#include "console/RouteTable.h"
#include "console/Sessions.h"
#include "console/SettingsStore.h"

namespace qtx::console {

class EventsApi;
class ConsoleAlarms;
class HttpServer;

struct ConsoleOptions {
    std::string Folder;  // program folder, ending in "/"
    std::string Host = "127.0.0.1";
    int Port = 8080;  // 0 picks a free port
    std::string TlsCert, TlsKey;
    std::string WebDir;                       // the static pages, ending in "/"
    std::vector<std::string> Names;           // --host: the names the console is reached by
    std::vector<std::string> TrustedProxies;  // --trusted-proxy: addresses of reverse proxies
};

class ConsoleServer {
  public:
    static constexpr size_t kMaxBody = qtx::limits::ConsoleMaxBody;

    // Throws std::runtime_error when the accounts file, the pages or the TLS files cannot be
    // read, std::invalid_argument when a trusted proxy is not an address.
    explicit ConsoleServer(ConsoleOptions options);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Binds the listening socket and starts serving; returns the port. Throws
    // std::runtime_error when it cannot.
    int Bind();
    // Follows the engine until Stop().
    void Run();
    // Safe from another thread.
    void Stop();
    bool Tls() const { return !options_.TlsCert.empty(); }

  private:
    // ConsoleRoutes.cpp: the table, and the checks it declares, run before any handler.
    std::vector<Route> Table();
    void Handle(HttpRequest& req, HttpResponse& res);
    void CheckNeeds(const Route& route, HttpRequest& req);
    static void Refused(HttpResponse& res, int status, const std::string& message);

    // The handlers (ConsoleServer.cpp); events and preview are EventsApi's.
    void Login(const HttpRequest& req, HttpResponse& res);
    void Logout(const HttpRequest& req, HttpResponse& res);
    void SessionInfo(const HttpRequest& req, HttpResponse& res);
    void Status(const HttpRequest& req, HttpResponse& res);
    void StatusStream(const HttpRequest& req, HttpResponse& res);
    void Activity(const HttpRequest& req, HttpResponse& res);
    void Errors(const HttpRequest& req, HttpResponse& res);
    void LogLines(const HttpRequest& req, HttpResponse& res, const std::string& file);
    void ReadSettings(const HttpRequest& req, HttpResponse& res);
    void UpdateSettings(const HttpRequest& req, HttpResponse& res);
    void ListUsers(const HttpRequest& req, HttpResponse& res);
    void CreateUser(const HttpRequest& req, HttpResponse& res);
    void ChangeUser(const HttpRequest& req, HttpResponse& res);
    void SetUser(const HttpRequest& req, HttpResponse& res, bool create);
    void RemoveUser(const HttpRequest& req, HttpResponse& res);
    void Metrics(const HttpRequest& req, HttpResponse& res);
    void Page(const HttpRequest& req, HttpResponse& res);
    // AlarmsApi.cpp.
    void AlarmList(const HttpRequest& req, HttpResponse& res);
    void AckAlarm(const HttpRequest& req, HttpResponse& res);
    void ReadAlarmRoutes(const HttpRequest& req, HttpResponse& res);
    void UpdateAlarmRoutes(const HttpRequest& req, HttpResponse& res);

    void StaticFiles();
    std::optional<Session> SessionOf(const HttpRequest& req);

    ConsoleOptions options_;
    TrustedProxies proxies_;
    ConsoleNames names_;
    Accounts accounts_;
    Sessions sessions_;
    AccountShares streamShares_{limits::StreamsPerAccount};  // outlives the streams that hold it
    std::unique_ptr<Clock> clock_ = MakeConsoleClock();
    LoginThrottle throttle_;
    AuditLog audit_;
    SettingsStore settings_;
    EngineState engine_;
    std::unique_ptr<ConsoleAlarms> alarms_;
    std::unique_ptr<EventsApi> events_;
    std::unique_ptr<RouteTable> routes_;
    std::unique_ptr<HttpServer> http_;
    std::atomic<int> streams_{0};
    struct StaticFile {
        std::string Type, Body;
        bool Public = false;  // served without a session
    };
    std::map<std::string, StaticFile> files_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
};

}  // namespace qtx::console
