// The console's alarms against the real qtx-console and a webhook receiver on 127.0.0.1:
// engine-not-running after 10 s without the engine's state channel (the console's clock moved
// on), kept across a restart, cleared when an engine is back; the engine's alarms as its channel
// tells them; acknowledgement (audited); the routes' secrets never shown and kept by "set".
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "alarms/AlarmRoutes.h"
#include "alarms/WebhookReceiver.h"
#include "console/ConsoleProcess.h"
#include "database/DBEngine.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "ui/StateMessages.h"

namespace qtx::test {
namespace {

using nlohmann::json;

const char* kPassword = "correct horse";
const char* kSecret = "hook-secret-7c1";

class ConsoleAlarms : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeEventDb(Db());
        for (const char* role : {"viewer", "operator", "admin"})
            ASSERT_EQ(RunConsoleTool({"add-user", role, "--role", role, "--folder", dir.Path()},
                                     std::string(kPassword) + "\n"),
                      0);
        DBEngine engine;
        Database db = engine.OpenDatabase(Db());
        alarms::AlarmRoute r;
        r.Target = hook.Url();
        r.Secret = kSecret;
        alarms::AddRoute(db, r);
        db.Close();
        StartConsole();
    }
    void StartConsole() {
        WriteWholeFile(dir.File("clock-offset"), "0");
        ::setenv("QTX_CONSOLE_TEST_CLOCK_FILE", dir.File("clock-offset").c_str(), 1);
        console = std::make_unique<ConsoleProcess>(dir.Path());
        ::unsetenv("QTX_CONSOLE_TEST_CLOCK_FILE");
    }
    std::string Db() const { return dir.File("QTXAutomation.mdb"); }
    json Get(ApiClient& c, const std::string& path) {
        auto r = c.Send("GET", path);
        EXPECT_EQ(r->status, 200) << path << " " << r->body;
        return json::parse(r->body);
    }
    json Body(size_t i) { return json::parse(hook.Requests().at(i).Body); }

    TempDir dir;
    WebhookReceiver hook{WebhookReceiver::Mode::Ok};
    std::unique_ptr<ConsoleProcess> console;
};

// An engine's state channel as the console reads it: one accepted connection.
struct EngineSocket {
    explicit EngineSocket(const std::string& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 2) != 0)
            throw std::runtime_error("bind " + path);
        client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);  // the console retries each second
    }
    ~EngineSocket() {
        ::close(client);
        ::close(fd);
    }
    void Send(const json& line) {
        const std::string text = line.dump() + "\n";
        ASSERT_EQ(::write(client, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int fd = -1, client = -1;
};

json EngineAlarm(const std::string& state) {
    json a = {{"id", "e0e0e0e0e0e0"},
              {"kind", "link-down"},
              {"state", state},
              {"severity", "critical"},
              {"text", "link 0 down: switcher offline"},
              {"link", 0},
              {"at", "2026-12-07T06:00:01.012+00:00"},
              {"engine", "h:/x/"},
              {"about", "link 0"},
              {"atMs", 1796623201012},
              {"offsetMin", 0}};
    if (state == "cleared")
        a["lasted_s"] = 12.5;
    return a;
}

TEST_F(ConsoleAlarms, EngineNotRunningAckRestartAndTheEnginesOwn) {
    ApiClient viewer(console->Port()), op(console->Port());
    ASSERT_EQ(viewer.Login("viewer", kPassword)->status, 200);
    ASSERT_EQ(op.Login("operator", kPassword)->status, 200);
    ::usleep(400000);  // the watch has taken its first reading
    EXPECT_TRUE(Get(viewer, "/api/alarms")["active"].empty());
    WriteWholeFile(dir.File("clock-offset"), "11000");
    ASSERT_TRUE(hook.WaitFor(1));
    const json raised = Body(0);
    EXPECT_EQ(raised["kind"], "engine-not-running");
    EXPECT_EQ(raised["severity"], "critical");
    EXPECT_EQ(raised["state"], "raised");
    EXPECT_FALSE(WebhookReceiver::Header(hook.Requests()[0], "X-QTX-Signature").empty());
    const std::string id = raised["id"];

    EXPECT_EQ(Get(viewer, "/api/alarms")["active"][0]["id"], id);
    EXPECT_EQ(viewer.Send("POST", "/api/alarms/" + id + "/ack")->status, 403);
    EXPECT_EQ(op.Send("POST", "/api/alarms/nosuch/ack")->status, 404);
    auto acked = op.Send("POST", "/api/alarms/" + id + "/ack");
    ASSERT_EQ(acked->status, 200) << acked->body;
    EXPECT_EQ(json::parse(acked->body)["acked_by"], "operator");
    EXPECT_NE(ReadWholeFile(dir.File("qtx-console-audit.log")).find("\"alarm-ack\""),
              std::string::npos);

    // A restart keeps it raised (same id, acknowledged) and does not raise it again.
    ASSERT_TRUE(console->Terminate());
    StartConsole();
    ApiClient again(console->Port());
    ASSERT_EQ(again.Login("viewer", kPassword)->status, 200);
    json list = Get(again, "/api/alarms");
    ASSERT_EQ(list["active"].size(), 1u);
    EXPECT_EQ(list["active"][0]["id"], id);
    EXPECT_EQ(list["active"][0]["acked_by"], "operator");

    // The engine comes: engine-not-running clears; the engine's alarms are listed, not sent.
    json snapshot = {{"type", "snapshot"},
                     {"caption", "QTX Automation - Switcher Connected"},
                     {"icon", 1},
                     {"link", {{"server", true}, {"switcher", true}}},
                     {"slave", {{"enabled", false}, {"server", false}, {"switcher", false}}},
                     {"panels", {"", "", ""}},
                     {"next", json::array()},
                     {"historyColor", 0},
                     {"history", json::array()},
                     {"alarms", {EngineAlarm("raised")}}};
    EngineSocket engine(dir.File(state::kSocketName));
    engine.Send(snapshot);
    ASSERT_TRUE(hook.WaitFor(2));
    EXPECT_EQ(Body(1)["state"], "cleared");
    EXPECT_EQ(Body(1)["id"], id);
    EXPECT_TRUE(Body(1).contains("lasted_s"));
    auto has = [](const json& l, const std::string& want) {
        for (const json& a : l)
            if (a["id"] == want)
                return true;
        return false;
    };
    for (int i = 0; i < 100 && !has(Get(again, "/api/alarms")["active"], "e0e0e0e0e0e0"); ++i)
        ::usleep(20000);
    EXPECT_TRUE(has(Get(again, "/api/alarms")["active"], "e0e0e0e0e0e0"));
    engine.Send({{"type", "alarm"}, {"alarm", EngineAlarm("cleared")}});
    for (int i = 0; i < 100 && !has(Get(again, "/api/alarms")["cleared"], "e0e0e0e0e0e0"); ++i)
        ::usleep(20000);
    list = Get(again, "/api/alarms");
    EXPECT_TRUE(list["active"].empty());
    EXPECT_TRUE(has(list["cleared"], "e0e0e0e0e0e0"));
    EXPECT_TRUE(has(list["cleared"], id));

    const std::string metrics = again.Send("GET", "/metrics")->body;
    EXPECT_NE(metrics.find("qtx_alarm_active{kind=\"link-down\"} 0"), std::string::npos);
    EXPECT_NE(metrics.find("qtx_alarm_active{kind=\"engine-not-running\"} 0"), std::string::npos);
    EXPECT_NE(metrics.find("qtx_alarms_raised_total{kind=\"take-not-confirmed\"} 0"),
              std::string::npos);
    ::usleep(100000);
    EXPECT_EQ(hook.Count(), 2u);  // the engine's alarms are the engine's to deliver
}

TEST_F(ConsoleAlarms, RouteSecretsAreNeverShownAndSetKeepsThem) {
    ApiClient admin(console->Port()), op(console->Port());
    ASSERT_EQ(admin.Login("admin", kPassword)->status, 200);
    ASSERT_EQ(op.Login("operator", kPassword)->status, 200);
    EXPECT_EQ(op.Send("GET", "/api/alarm-routes")->status, 403);
    auto read = admin.Send("GET", "/api/alarm-routes");
    ASSERT_EQ(read->status, 200);
    EXPECT_EQ(read->body.find(kSecret), std::string::npos);
    json got = json::parse(read->body);
    EXPECT_EQ(got["routes"][0]["secret"], "set");

    json change = {{"routes", got["routes"]}};
    change["routes"][0]["kinds"] = {"link-down"};
    change["routes"].push_back({{"type", "webhook"}, {"target", "http://127.0.0.1:9/other"}});
    auto put = admin.Json("PUT", "/api/alarm-routes", change);
    ASSERT_EQ(put->status, 200) << put->body;
    EXPECT_EQ(put->body.find(kSecret), std::string::npos);

    const struct {
        const char* Name;
        json Route;
        int Status;
    } refused[] = {
        {"set without a stored secret",
         {{"type", "webhook"}, {"target", "http://127.0.0.1:9/"}, {"secret", "set"}},
         422},
        {"unknown kind",
         {{"type", "webhook"}, {"target", "http://127.0.0.1:9/"}, {"kinds", {"nope"}}},
         422},
        {"not a URL", {{"type", "webhook"}, {"target", "ftp://x"}}, 422},
    };
    for (const auto& c : refused) {
        auto r = admin.Json("PUT", "/api/alarm-routes", {{"routes", {c.Route}}});
        EXPECT_EQ(r->status, c.Status) << c.Name << " " << r->body;
    }

    DBEngine engine;
    Database db = engine.OpenDatabase(Db());
    const auto routes = alarms::LoadRoutes(db);
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0].Secret, kSecret);
    EXPECT_EQ(routes[0].Kinds, std::vector<alarms::AlarmKind>{alarms::AlarmKind::LinkDown});
    EXPECT_EQ(routes[1].Secret, "");
    db.Close();
    const std::string audit = ReadWholeFile(dir.File("qtx-console-audit.log"));
    EXPECT_NE(audit.find("\"alarm-routes-update\""), std::string::npos);
    EXPECT_EQ(audit.find(kSecret), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
