// The console's alarms against the real qtx-console and a webhook receiver on 127.0.0.1:
// engine-not-running after 10 s without the engine's state channel (the console's clock moved
// on), kept across a restart, cleared when an engine is back; the engine's alarms as its channel
// tells them; acknowledgement (audited); the routes' secrets never shown and kept by "set".
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "alarms/AlarmRoutes.h"
#include "alarms/WebhookReceiver.h"
#include "console/ConsoleFixture.h"
#include "console/StateSocket.h"
#include "database/DBEngine.h"

namespace qtx::test {
namespace {

using nlohmann::json;

const char* kSecret = "hook-secret-7c1";

class ConsoleAlarms : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override {
        AddUsers({"viewer", "operator", "admin"});
        DBEngine engine;
        Database db = engine.OpenDatabase(Db());
        alarms::AlarmRoute r;
        r.Target = hook.Url();
        r.Secret = kSecret;
        alarms::AddRoute(db, r);
        db.Close();
        StartConsoleOnMovableClock();
    }
    json Get(ApiClient& c, const std::string& path) {
        auto r = c.Send("GET", path);
        EXPECT_EQ(r->status, 200) << path << " " << r->body;
        return json::parse(r->body);
    }
    json Body(size_t i) { return json::parse(hook.Requests().at(i).Body); }

    WebhookReceiver hook{WebhookReceiver::Mode::Ok};
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
    ApiClient viewer = As("viewer"), op = As("operator");
    ::usleep(400000);  // the watch has taken its first reading
    EXPECT_TRUE(Get(viewer, "/api/alarms")["active"].empty());
    MoveClock(11000);
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
    StartConsoleOnMovableClock();
    ApiClient again = As("viewer");
    json list = Get(again, "/api/alarms");
    ASSERT_EQ(list["active"].size(), 1u);
    EXPECT_EQ(list["active"][0]["id"], id);
    EXPECT_EQ(list["active"][0]["acked_by"], "operator");

    // The engine comes: engine-not-running clears; the engine's alarms are listed, not sent.
    json snapshot = Snapshot("QTX Automation - Switcher Connected", true);
    snapshot["alarms"] = {EngineAlarm("raised")};
    StateSocket engine(dir.Path());
    ASSERT_TRUE(engine.Listen() && engine.Accept());
    ASSERT_TRUE(engine.SendLine(snapshot));
    ASSERT_TRUE(hook.WaitFor(2));
    EXPECT_EQ(Body(1)["state"], "cleared");
    EXPECT_EQ(Body(1)["id"], id);
    EXPECT_TRUE(Body(1).contains("lasted_s"));
    auto has = [](const json& l, const std::string& want) {
        return std::any_of(l.begin(), l.end(), [&](const json& a) { return a["id"] == want; });
    };
    EXPECT_TRUE(
        Eventually([&] { return has(Get(again, "/api/alarms")["active"], "e0e0e0e0e0e0"); }, 2000));
    ASSERT_TRUE(engine.SendLine(json{{"type", "alarm"}, {"alarm", EngineAlarm("cleared")}}));
    Eventually([&] { return has(Get(again, "/api/alarms")["cleared"], "e0e0e0e0e0e0"); }, 2000);
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
    ApiClient admin = As("admin"), op = As("operator");
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
