// qtx-console as its users meet it: the real program on 127.0.0.1 against a real program folder,
// driven over HTTP like the pages do: sessions and roles, settings, accounts, logs, the status
// and its stream, the command line and TLS. The events themselves: ConsoleEventsTest.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "common/PollEventLoop.h"
#include "console/ConsoleFixture.h"
#include "ui/RecordingMainWindow.h"
#include "ui/StateChannel.h"

namespace qtx::test {
namespace {

using nlohmann::json;

class Console : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override { Start(); }
};

TEST_F(Console, WithoutASessionOnlyTheLoginPageAnswers) {
    ApiClient anon(Port());
    for (const std::string route :
         {"GET /api/events", "GET /api/events/1", "POST /api/events", "PUT /api/events/1",
          "DELETE /api/events/1", "GET /api/preview", "GET /api/status", "GET /api/status/stream",
          "GET /api/activity", "GET /api/errors", "GET /api/settings", "PUT /api/settings",
          "GET /api/users", "POST /api/logout", "GET /api/session", "GET /api/no-such-thing"}) {
        const std::string method = route.substr(0, route.find(' ')),
                          path = route.substr(method.size() + 1);
        auto r = anon.Send(method, path, "{}");
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 401) << method << " " << path;
        EXPECT_NE(r->body.find("not logged in"), std::string::npos);
    }
    for (const char* page : {"/", "/week.html", "/event.html", "/status.html", "/users.html",
                             "/week.js", "/common.js"}) {
        auto r = anon.Send("GET", page);
        EXPECT_EQ(r->status, 302) << page;
        EXPECT_EQ(r->get_header_value("Location"), "/login.html");
        EXPECT_TRUE(r->body.empty());
    }
    EXPECT_EQ(anon.Send("GET", "/login.html")->status, 200);
    EXPECT_EQ(anon.Send("GET", "/../QTXAutomation.mdb")->status, 404);

    auto wrong = anon.Login("admin", "not the password");
    EXPECT_EQ(wrong->status, 401);
    auto unknown = anon.Login("nobody", kPassword);
    EXPECT_EQ(unknown->status, 401);
    EXPECT_EQ(wrong->body, unknown->body);  // a wrong name is not told apart from a wrong password

    auto ok = anon.Login("viewer", kPassword);
    ASSERT_EQ(ok->status, 200);
    EXPECT_EQ(json::parse(ok->body)["role"], "viewer");
    std::string cookie = ok->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookie.find("Secure"), std::string::npos);  // plain HTTP
    EXPECT_EQ(anon.Send("GET", "/week.html")->status, 200);

    // Logging out ends the session for good.
    EXPECT_EQ(anon.Send("POST", "/api/logout")->status, 200);
    EXPECT_EQ(anon.Send("GET", "/api/events")->status, 401);
}

TEST_F(Console, ChangesNeedTheTokenAndARoleThatAllowsThem) {
    ApiClient op = As("operator");
    std::string token = op.Csrf();
    op.Csrf().clear();
    EXPECT_EQ(op.Send("POST", "/api/events", kMorningFeed.dump(), false)->status, 403);
    op.Csrf() = (token[0] == '0' ? "1" : "0") + token.substr(1);
    EXPECT_EQ(op.Json("POST", "/api/events", kMorningFeed)->status, 403);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Automation"), "0");
    op.Csrf() = token;

    ApiClient viewer = As("viewer");
    EXPECT_EQ(viewer.Send("GET", "/api/events")->status, 200);
    EXPECT_EQ(viewer.Json("POST", "/api/events", kMorningFeed)->status, 403);
    EXPECT_EQ(op.Json("PUT", "/api/settings", {{"startMinimized", true}})->status, 403);
    EXPECT_EQ(op.Send("GET", "/api/users")->status, 403);
    EXPECT_EQ(
        op.Json("POST", "/api/users", {{"name", "x"}, {"role", "admin"}, {"password", "12345678"}})
            ->status,
        403);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Automation"), "0");

    // The operator may: one event, five rows.
    auto created = op.Json("POST", "/api/events", kMorningFeed);
    ASSERT_EQ(created->status, 201) << created->body;
    EXPECT_EQ(
        QueryColumn(Db(),
                    "SELECT Day || ' ' || Time || ' ' || xcontrol || ' ' || SourceChan || "
                    "' ' || DestChan || ' ' || Active FROM Automation ORDER BY Day"),
        (std::vector<std::string>{"0 06:00:00 1 3 1 1", "1 06:00:00 1 3 1 1", "2 06:00:00 1 3 1 1",
                                  "3 06:00:00 1 3 1 1", "4 06:00:00 1 3 1 1"}));
}

TEST_F(Console, SettingsAreCheckedLikeTheEngineNeedsThem) {
    ApiClient admin = As("admin");
    json s = json::parse(admin.Send("GET", "/api/settings")->body);
    EXPECT_TRUE(s.contains("server"));
    std::string before = ReadWholeFile(Db());
    struct Case {
        json body;
        int status;
        std::string field;
    };
    for (const Case& c : std::vector<Case>{
             {{{"server", {{"address", "10.0.0.300"}}}}, 422, "server.address"},
             {{{"server", {{"address", "10.0.0"}}}}, 422, "server.address"},
             {{{"slave", {{"port", 0}}}}, 422, "slave.port"},
             {{{"server", {{"port", "1250"}}}}, 400, ""},
             {{{"startMinimised", true}}, 400, ""},
             {{{"taskViewFolder", dir.Path()}}, 422, "taskViewFolder"},
             {{{"taskViewFolder", "/no/such/folder"}}, 422, "taskViewFolder"},
             {{{"confirmWithin", 60001}}, 422, "confirmWithin"},
             {{{"linkAlarmAfter", 0}}, 422, "linkAlarmAfter"},
             {{{"confirmWithin", "500"}}, 400, ""},
         }) {
        auto r = admin.Json("PUT", "/api/settings", c.body);
        EXPECT_EQ(r->status, c.status) << c.body.dump() << r->body;
        if (!c.field.empty()) {
            EXPECT_EQ(json::parse(r->body)["errors"][0]["field"], c.field);
        }
        EXPECT_EQ(ReadWholeFile(Db()), before) << c.body.dump();
    }
    TempDir copies;
    auto ok = admin.Json("PUT", "/api/settings",
                         {{"server", {{"address", "127.0.0.1"}, {"port", 1251}}},
                          {"slave", {{"address", "0.0.0.0"}, {"port", 1252}}},
                          {"taskViewFolder", copies.Path()},
                          {"startMinimized", true},
                          {"confirmWithin", 400}});
    ASSERT_EQ(ok->status, 200) << ok->body;
    EXPECT_EQ(QueryOne(Db(), "SELECT Value FROM Settings WHERE Name = 'ConfirmWithin'"), "400");
    const json now = json::parse(admin.Send("GET", "/api/settings")->body);
    EXPECT_EQ(now["confirmWithin"], 400);
    EXPECT_EQ(now["linkAlarmAfter"], 10);
    EXPECT_EQ(QueryOne(Db(),
                       "SELECT IPAddr || ' ' || IPPort || ' ' || SlaveIPAddr || ' ' || SlaveIPPort "
                       "FROM Server"),
              "127.0.0.1 1251 0.0.0.0 1252");
    std::string folder = copies.Path().substr(0, copies.Path().size() - 1);  // no trailing "/"
    EXPECT_EQ(QueryOne(Db(), "SELECT TaskViewDB FROM Server"), folder);
    EXPECT_EQ(QueryOne(Db(), "SELECT StartMin FROM Info"), "-1");
    json audit = Audit().back();
    EXPECT_EQ(audit["action"], "settings-update");
    EXPECT_EQ(audit["after"]["server"]["port"], 1251);
    EXPECT_EQ(audit["before"]["server"]["port"], s["server"]["port"]);
}

TEST_F(Console, UsersAreManagedByAdminsAndTheLastAdminStays) {
    ApiClient admin = As("admin");
    const struct {
        const char *name, *role, *password;
        int status;
    } adds[] = {{"night", "operator", "short", 422},
                {"bad name", "operator", "long enough", 422},
                {"night", "root", "long enough", 422},
                {"night", "operator", "long enough", 201},
                {"night", "operator", "long enough", 409}};
    for (const auto& a : adds)
        EXPECT_EQ(admin
                      .Json("POST", "/api/users",
                            {{"name", a.name}, {"role", a.role}, {"password", a.password}})
                      ->status,
                  a.status)
            << a.name << " " << a.role << " " << a.password;

    ApiClient night(Port());
    ASSERT_EQ(night.Login("night", "long enough")->status, 200);
    // A changed role ends the user's sessions: the new role holds from the next login.
    EXPECT_EQ(admin.Json("PUT", "/api/users/night", {{"role", "viewer"}})->status, 200);
    EXPECT_EQ(night.Send("GET", "/api/events")->status, 401);
    ASSERT_EQ(night.Login("night", "long enough")->status, 200);
    EXPECT_EQ(night.Json("POST", "/api/events", kMorningFeed)->status, 403);

    EXPECT_EQ(admin.Send("DELETE", "/api/users/admin")->status, 409);
    EXPECT_EQ(admin.Json("PUT", "/api/users/admin", {{"role", "viewer"}})->status, 422);
    EXPECT_EQ(admin.Send("DELETE", "/api/users/night")->status, 200);
    EXPECT_EQ(admin.Send("DELETE", "/api/users/night")->status, 404);
    EXPECT_EQ(night.Send("GET", "/api/events")->status, 401);

    // An account added with the command line while the console runs can log in at once.
    ASSERT_EQ(RunConsoleTool({"add-user", "late", "--role", "viewer", "--folder", dir.Path()},
                             "late password\n"),
              0);
    ApiClient late(Port());
    EXPECT_EQ(late.Login("late", "late password")->status, 200);

    // The accounts file is the owner's only and holds Argon2id hashes, never a password.
    struct stat st {};
    ASSERT_EQ(::stat(dir.File("qtx-console.users").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string users = ReadWholeFile(dir.File("qtx-console.users"));
    EXPECT_NE(users.find("$argon2id$"), std::string::npos);
    EXPECT_EQ(users.find(kPassword), std::string::npos);
}

TEST_F(Console, LogsAnswerTheirLastLinesWithoutTheHeader) {
    std::string log;
    for (int i = 1; i <= 11; ++i)
        log += "header " + std::to_string(i) + "\r\n";
    for (int i = 1; i <= 5000; ++i)
        log += "12/7/2026 6:00:00 AM    take " + std::to_string(i) + " caf\xE9\r\n";
    WriteWholeFile(dir.File("Tally.Dat"), log);
    WriteWholeFile(dir.File("Errorlog.txt"),
                   "h\r\nh\r\nh\r\nh\r\nh\r\nh\r\nh\r\nh\r\nh\r\nh\r\nh\r\nonly entry\r\n");
    ApiClient viewer = As("viewer");
    json a = json::parse(viewer.Send("GET", "/api/activity?lines=2")->body);
    EXPECT_EQ(a["lines"], json({"12/7/2026 6:00:00 AM    take 4999 caf\xC3\xA9",
                                "12/7/2026 6:00:00 AM    take 5000 caf\xC3\xA9"}));
    json e = json::parse(viewer.Send("GET", "/api/errors?lines=50")->body);
    EXPECT_EQ(e["lines"], json({"only entry"}));
    EXPECT_EQ(viewer.Send("GET", "/api/activity?lines=0")->status, 400);
    EXPECT_EQ(viewer.Send("GET", "/api/activity?lines=ten")->status, 400);
}

// The console follows the engine's state channel: the status, its stream and the metrics show
// what the engine shows, and they survive the engine going away.
TEST_F(Console, StatusStreamAndMetricsFollowTheEngine) {
    PollEventLoop loop;
    RecordingMainWindow window;
    auto channel = std::make_unique<StateChannel>(window, loop, dir.Path());
    ASSERT_TRUE(channel->Open());
    ShowLink(*channel, state::LinkState::SwitcherConnected);
    channel->ShowNextEvent({12, 2, "Wedensday", "07:00:00", "Noon"});
    ApiClient viewer = As("viewer");
    auto status = [&] { return json::parse(viewer.Send("GET", "/api/status")->body); };
    ASSERT_TRUE(loop.RunUntil([&] { return status()["engine"]["running"] == true; }, 4000));
    EXPECT_EQ(status()["link"]["switcher"], true);
    // The next event comes with its number and weekday: the pages find it by those.
    EXPECT_EQ(status()["next"][0]["number"], 12);
    EXPECT_EQ(status()["next"][0]["weekday"], 2);

    // The stream starts with the whole state and then carries each change.
    auto stream = std::make_unique<Stream>(Port(), viewer.Cookie());
    ASSERT_TRUE(stream->Opened());
    channel->AddHistoryRow("Monday", "06:00:00", "Morning feed - Not Executed");
    channel->ShowEventOutcome(
        {1, "Monday", "06:00:00", "Morning feed", false, state::Refusal::InvalidCrosspoint, 4, {}});
    channel->AddHistoryRow("Monday", "06:00:01", "Ident");
    channel->ShowEventOutcome(
        {2, "Monday", "06:00:01", "Ident", true, state::Refusal::None, 7, {}});
    loop.RunFor(500);
    const std::string received = stream->Received();
    stream.reset();
    EXPECT_EQ(received.rfind("event: status\ndata: {", 0), 0u) << received.substr(0, 80);
    size_t change = received.find("event: change\ndata: {");
    ASSERT_NE(change, std::string::npos) << received;
    EXPECT_NE(received.find("\"reason\":\"Invalid Crosspoint\"", change), std::string::npos)
        << received;

    std::string metrics = viewer.Send("GET", "/metrics")->body;
    EXPECT_NE(metrics.find("qtx_engine_up 1"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("qtx_link_up{link=\"switcher\"} 1"), std::string::npos);
    EXPECT_NE(metrics.find("qtx_events_run_total 1"), std::string::npos);
    EXPECT_NE(metrics.find("qtx_events_refused_total{reason=\"Invalid Crosspoint\"} 1"),
              std::string::npos);
    EXPECT_NE(metrics.find("qtx_last_event_lateness_seconds 0.007"), std::string::npos);
    EXPECT_NE(metrics.find("qtx_seconds_since_last_run "), std::string::npos);
    json s = status();
    EXPECT_EQ(s["history"][0]["reason"], "Invalid Crosspoint");
    EXPECT_EQ(s["history"][0]["refusal"], "invalidCrosspoint");

    // The engine goes: the console says so, and its links are no longer shown as up.
    channel.reset();
    ASSERT_TRUE(loop.RunUntil([&] { return status()["engine"]["running"] == false; }, 4000));
    EXPECT_EQ(status()["link"]["switcher"], false);
    EXPECT_NE(viewer.Send("GET", "/metrics")->body.find("qtx_engine_up 0"), std::string::npos);
}

TEST(ConsoleProgram, CommandLine) {
    std::string out;
    EXPECT_EQ(RunConsoleTool({"--version"}, "", &out), 0);
    EXPECT_EQ(out.rfind("qtx-console ", 0), 0u);
    EXPECT_EQ(RunConsoleTool({"--help"}, "", &out), 0);
    EXPECT_NE(out.find("add-user NAME --role viewer|operator|admin"), std::string::npos);
    EXPECT_EQ(RunConsoleTool({"--listen", "127.0.0.1"}, "", &out), 2);
    EXPECT_EQ(RunConsoleTool({"--tls-cert", "x.pem"}, "", &out), 2);
    EXPECT_EQ(RunConsoleTool({"--bogus"}, "", &out), 2);
    TempDir dir;
    EXPECT_EQ(RunConsoleTool({"add-user", "a", "--role", "admin", "--folder", dir.Path()},
                             "short\n", &out),
              1);
    EXPECT_NE(out.find("at least 8"), std::string::npos);
    EXPECT_EQ(RunConsoleTool({"add-user", "a", "--role", "king", "--folder", dir.Path()},
                             "long enough\n", &out),
              2);
}

}  // namespace
}  // namespace qtx::test
