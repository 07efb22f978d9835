#pragma once
// A program folder with an event file and accounts named for their roles (password kPassword),
// and the real qtx-console serving it: what the console's tests set up before their requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "console/ConsoleProcess.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {

inline constexpr const char* kPassword = "correct horse";

// A weekday take, as the Event page sends it.
inline const nlohmann::json kMorningFeed = {
    {"title", "Morning feed"},
    {"days", {"mon", "tue", "wed", "thu", "fri"}},
    {"time", "06:00:00"},
    {"actions", {{{"kind", "take"}, {"source", 3}, {"destination", 1}}}}};

// Whether done() holds within ms, asked every few milliseconds.
inline bool Eventually(const std::function<bool()>& done, int ms = 8000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// A status stream held open in a thread of its own: opened once its first status has come,
// refused once its answer has ended.
struct Stream {
    Stream(int port, const std::string& cookie) : http("127.0.0.1", port) {
        reader = std::thread([this, cookie] {
            HttpResult r = http.Get("/api/status/stream", {{"Cookie", cookie}},
                                    [this](const char* data, size_t n) {
                                        std::lock_guard lock(mutex);
                                        received.append(data, n);
                                        return true;
                                    });
            status = r ? r->status : -1;
            ended = true;
        });
    }
    ~Stream() {
        http.stop();
        reader.join();
    }
    // True once the stream is open (its first status came); false when it was answered and ended.
    bool Opened() {
        for (int i = 0; i < 100 && !ended; ++i) {
            {
                std::lock_guard lock(mutex);
                if (received.rfind("event: status", 0) == 0)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::string Received() {
        std::lock_guard lock(mutex);
        return received;
    }

    HttpClient http;
    std::mutex mutex;
    std::string received;
    std::atomic<int> status{0};
    std::atomic<bool> ended{false};
    std::thread reader;
};

class ConsoleFolder {
  public:
    ConsoleFolder() { MakeEventDb(Db()); }

    void AddUser(const std::string& name, const std::string& role) {
        ASSERT_EQ(RunConsoleTool({"add-user", name, "--role", role, "--folder", dir.Path()},
                                 std::string(kPassword) + "\n"),
                  0);
    }
    void AddUsers(const std::vector<std::string>& roles) {
        for (const std::string& role : roles)
            AddUser(role, role);
    }
    // extra: more options (TLS, a trusted proxy).
    void StartConsole(std::vector<std::string> extra = {}) {
        console = std::make_unique<ConsoleProcess>(dir.Path(), std::move(extra));
    }
    // The console on a clock that MoveClock sets ahead of the host's.
    void StartConsoleOnMovableClock() {
        MoveClock(0);
        ::setenv("QTX_CONSOLE_TEST_CLOCK_FILE", dir.File("clock-offset").c_str(), 1);
        StartConsole();
        ::unsetenv("QTX_CONSOLE_TEST_CLOCK_FILE");
    }
    // Moves the console's clock to ms milliseconds ahead of the host's.
    void MoveClock(int64_t ms) { WriteWholeFile(dir.File("clock-offset"), std::to_string(ms)); }
    void Start(const std::vector<std::string>& roles = {"viewer", "operator", "admin"},
               std::vector<std::string> extra = {}) {
        AddUsers(roles);
        StartConsole(std::move(extra));
    }

    // A self-signed certificate for 127.0.0.1 made in the folder, as the console's TLS options.
    std::vector<std::string> TlsOptions() const {
        const std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
            " -out " + cert + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return {"--tls-cert", cert, "--tls-key", key};
    }
    std::string Db() const { return dir.File("QTXAutomation.mdb"); }
    int Port() const { return console->Port(); }
    // A client logged in as the account named role.
    ApiClient As(const std::string& role) {
        ApiClient c(Port());
        auto r = c.Login(role, kPassword);
        EXPECT_TRUE(r && r->status == 200) << role;
        return c;
    }
    // The audit file, one object a line.
    std::vector<nlohmann::json> Audit() const {
        std::vector<nlohmann::json> lines;
        std::ifstream in(dir.File("qtx-console-audit.log"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }
    // The value of a metric the console serves to anybody, or -1 when it serves none of that name.
    double Metric(const std::string& name) {
        auto r = ApiClient(Port()).Send("GET", "/metrics");
        const std::string text = r ? r->body : "";
        const size_t at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
    }
    // A figure of the console's /proc status in KiB ("VmHWM:" the peak, "VmRSS:" resident now).
    long MemoryKiB(const std::string& field = "VmHWM:") const {
        std::ifstream in("/proc/" + std::to_string(console->Pid()) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(field, 0) == 0)
                return std::stol(line.substr(field.size()));
        return -1;
    }

    TempDir dir;
    std::unique_ptr<ConsoleProcess> console;
};

}  // namespace qtx::test
