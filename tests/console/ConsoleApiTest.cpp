// qtx-console as its users meet it: the real program on 127.0.0.1 against a real program folder,
// driven over HTTP like the pages do; the database checked with plain SQL, the audit file read
// back line by line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/PollEventLoop.h"
#include "console/ConsoleProcess.h"
#include "console/ConsoleServer.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "ui/RecordingMainWindow.h"
#include "ui/StateChannel.h"

namespace qtx::test {
namespace {

using nlohmann::json;

const char* kPassword = "correct horse";

class Console : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeEventDb(Db());
        for (const char* role : {"viewer", "operator", "admin"})
            ASSERT_EQ(RunConsoleTool({"add-user", role, "--role", role, "--folder", dir.Path()},
                                     std::string(kPassword) + "\n"),
                      0);
        console = std::make_unique<ConsoleProcess>(dir.Path());
    }
    std::string Db() const { return dir.File("QTXAutomation.mdb"); }
    ApiClient As(const std::string& role) {
        ApiClient c(console->Port());
        auto r = c.Login(role, kPassword);
        EXPECT_TRUE(r && r->status == 200);
        return c;
    }
    std::vector<json> Audit() {
        std::vector<json> lines;
        std::ifstream in(dir.File("qtx-console-audit.log"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(json::parse(line));
        return lines;
    }

    TempDir dir;
    std::unique_ptr<ConsoleProcess> console;
};

const json kMorningFeed = {{"title", "Morning feed"},
                           {"days", {"mon", "tue", "wed", "thu", "fri"}},
                           {"time", "06:00:00"},
                           {"actions", {{{"kind", "take"}, {"source", 3}, {"destination", 1}}}}};

TEST_F(Console, WithoutASessionOnlyTheLoginPageAnswers) {
    ApiClient anon(console->Port());
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"GET", "/api/events"},
                                                          {"GET", "/api/events/1"},
                                                          {"POST", "/api/events"},
                                                          {"PUT", "/api/events/1"},
                                                          {"DELETE", "/api/events/1"},
                                                          {"GET", "/api/preview"},
                                                          {"GET", "/api/status"},
                                                          {"GET", "/api/status/stream"},
                                                          {"GET", "/api/activity"},
                                                          {"GET", "/api/errors"},
                                                          {"GET", "/api/settings"},
                                                          {"PUT", "/api/settings"},
                                                          {"GET", "/api/users"},
                                                          {"POST", "/api/logout"},
                                                          {"GET", "/api/session"},
                                                          {"GET", "/api/no-such-thing"}}) {
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

TEST_F(Console, EventsRoundTripAndEveryChangeIsAudited) {
    ApiClient op = As("operator");
    json made = json::parse(op.Json("POST", "/api/events", kMorningFeed)->body);
    int number = made["number"];
    EXPECT_EQ(number, 1);
    EXPECT_EQ(made["marking"], "active");

    auto list = op.Send("GET", "/api/events");
    ASSERT_EQ(list->status, 200);
    // Lists go out uncompressed: the library's brotli made a browser wait seconds for a large one.
    HttpClient browser("127.0.0.1", console->Port());
    auto encoded =
        browser.Get("/api/events", {{"Cookie", op.Cookie()}, {"Accept-Encoding", "br, gzip"}});
    EXPECT_EQ(encoded->get_header_value("Content-Encoding"), "");
    ASSERT_EQ(json::parse(list->body).size(), 1u);
    json one = json::parse(op.Send("GET", "/api/events/1")->body);
    EXPECT_EQ(one["days"], kMorningFeed["days"]);
    EXPECT_EQ(one["actions"], kMorningFeed["actions"]);
    // The server's words for the actions come along; the list adds the engine's table position.
    EXPECT_EQ(one["what"], "take 3->1");
    EXPECT_TRUE(json::parse(list->body)[0]["order"].is_object());

    // The preview runs the engine's own procedures over the file: Monday 2026-12-07 at 06:00.
    auto preview = op.Send("GET", "/api/preview?from=2026-12-07%2000:00:00&days=1");
    ASSERT_EQ(preview->status, 200) << preview->body;
    json runs = json::parse(preview->body)["runs"];
    ASSERT_EQ(runs.size(), 1u) << preview->body;
    EXPECT_EQ(runs[0]["number"], 1);
    EXPECT_EQ(runs[0]["ran"], true);
    EXPECT_NE(runs[0]["line"].get<std::string>().find("2026-12-07 06:00:00 Mon"),
              std::string::npos);
    EXPECT_EQ(runs[0]["what"], "take 3->1");

    // An edit keeps the number and changes only what it says; the server's words sent back
    // (with a stale wording and an order) are ignored.
    json edit = one;
    edit["what"] = "salvo 99";
    edit["order"] = {{"mon", 5}};
    edit["time"] = "06:30:00";
    edit["marking"] = "skip-next";
    auto changed = op.Json("PUT", "/api/events/1", edit);
    ASSERT_EQ(changed->status, 200) << changed->body;
    EXPECT_EQ(QueryColumn(Db(), "SELECT DISTINCT Time || ' ' || Active FROM Automation"),
              std::vector<std::string>{"06:30:00 2"});

    // A second editor still holding the first version gets a conflict, and nothing is written.
    json stale = one;
    stale["title"] = "Overwritten";
    auto conflict = op.Json("PUT", "/api/events/1", stale);
    EXPECT_EQ(conflict->status, 409);
    EXPECT_NE(conflict->body.find("changed by someone else"), std::string::npos);
    EXPECT_EQ(QueryOne(Db(), "SELECT DISTINCT Title FROM Automation"), "Morning feed");

    EXPECT_EQ(
        op.Send("DELETE", "/api/events/1?version=" + one["version"].get<std::string>())->status,
        409);
    EXPECT_EQ(op.Send("DELETE", "/api/events/1")->status, 200);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Automation"), "0");
    EXPECT_EQ(op.Send("DELETE", "/api/events/1")->status, 404);

    std::vector<std::string> actions;
    for (const json& line : Audit())
        if (line["user"] == "operator" && line["action"] != "login")
            actions.push_back(line["action"]);
    EXPECT_EQ(actions, (std::vector<std::string>{"event-create", "event-update", "event-delete"}));
    for (const json& line : Audit())
        if (line["action"] == "event-update") {
            EXPECT_EQ(line["before"]["time"], "06:00:00");
            EXPECT_EQ(line["after"]["time"], "06:30:00");
            EXPECT_EQ(line["target"], "event 1");
            EXPECT_FALSE(line["time"].get<std::string>().empty());
        }
}

TEST_F(Console, BadEventInputIsRefusedWithItsMessageAndNothingWritten) {
    ApiClient op = As("operator");
    ASSERT_EQ(op.Json("POST", "/api/events", kMorningFeed)->status, 201);
    std::string before = ReadWholeFile(Db());

    auto with = [](std::initializer_list<std::pair<const char*, json>> changes) {
        json e = kMorningFeed;
        for (auto& [k, v] : changes)
            e[k] = v;
        return e.dump();
    };
    struct Case {
        const char* what;
        std::string method, path, body;
        int status;
        std::string field;    // the field the message is given for ("" when none)
        std::string message;  // part of the message
    };
    std::string big(console::ConsoleServer::kMaxBody + 1, ' ');
    const std::vector<Case> cases = {
        {"malformed JSON", "POST", "/api/events", "{\"title\": ", 400, "", "malformed JSON"},
        {"not an object", "POST", "/api/events", "[1,2]", 400, "", "must be an object"},
        {"unknown field", "POST", "/api/events", with({{"colour", "red"}}), 400, "",
         "unknown field \"colour\""},
        {"wrong type", "POST", "/api/events", with({{"days", "mon-fri"}}), 400, "",
         "days must be a list"},
        {"number beyond 32 bits", "POST", "/api/events", with({{"number", 1e12}}), 400, "",
         "number"},
        {"number out of range", "POST", "/api/events", with({{"number", 40000}}), 422, "number",
         "40000"},
        {"number taken", "POST", "/api/events", with({{"number", 1}}), 409, "number",
         "already used"},
        {"bad day", "POST", "/api/events", with({{"days", {"mon", "fry"}}}), 422, "days",
         "\"fry\""},
        {"bad time", "POST", "/api/events", with({{"time", "25:00:00"}}), 422, "time",
         "is not a time of day"},
        {"short time", "POST", "/api/events", with({{"time", "6:00"}}), 422, "time", "6:00"},
        {"take without destination", "POST", "/api/events",
         with({{"actions", {{{"kind", "take"}, {"source", 3}, {"destination", 0}}}}}), 422,
         "take.destination", ""},
        {"two takes", "POST", "/api/events",
         with({{"actions",
                {{{"kind", "take"}, {"source", 3}, {"destination", 1}},
                 {{"kind", "sum-on"}, {"source", 3}, {"destination", 2}}}}}),
         400, "", "two actions"},
        {"bad address", "POST", "/api/events",
         with({{"actions",
                {{{"kind", "message"},
                  {"to", "ip"},
                  {"address", "10.0.0.300"},
                  {"port", 7000},
                  {"text", "GO"}}}}}),
         422, "message.address", "10.0.0.300"},
        {"bad port", "POST", "/api/events",
         with({{"actions",
                {{{"kind", "message"},
                  {"to", "ip"},
                  {"address", "127.0.0.1"},
                  {"port", 99999},
                  {"text", "GO"}}}}}),
         422, "message.port", "99999"},
        {"file outside the folder", "POST", "/api/events",
         with({{"actions",
                {{{"kind", "message"},
                  {"to", "ip"},
                  {"address", "127.0.0.1"},
                  {"port", 7000},
                  {"file", "/etc/shadow"}}}}}),
         422, "message.file", "is not a file of the message folder"},
        {"file by traversal", "POST", "/api/events",
         with({{"actions",
                {{{"kind", "message"},
                  {"to", "ip"},
                  {"address", "127.0.0.1"},
                  {"port", 7000},
                  {"file", "PROGRAM/../../etc/passwd"}}}}}),
         422, "message.file", "is not a file of the message folder"},
        {"no such event", "PUT", "/api/events/7", kMorningFeed.dump(), 404, "", "no event 7"},
        {"number not a number", "GET", "/api/events/abc", "", 400, "", "not a whole number"},
        {"number out of range in path", "DELETE", "/api/events/0", "", 400, "", "out of range"},
        {"oversized body", "POST", "/api/events", big, 413, "", "larger than"},
        {"preview days out of range", "GET", "/api/preview?days=400", "", 400, "", "days"},
        {"preview from not a moment", "GET", "/api/preview?from=tomorrow", "", 400, "", "from"},
    };
    for (Case c : cases) {
        size_t at = c.body.find("PROGRAM/");
        if (at != std::string::npos)
            c.body.replace(at, 8, dir.Path());
        auto r = op.Send(c.method, c.path, c.body);
        ASSERT_TRUE(r) << c.what;
        EXPECT_EQ(r->status, c.status) << c.what << ": " << r->body;
        json body = json::parse(r->body, nullptr, false);
        ASSERT_TRUE(body.is_object()) << c.what;
        EXPECT_NE(body.value("error", "").find(c.message), std::string::npos)
            << c.what << ": " << r->body;
        if (!c.field.empty()) {
            ASSERT_TRUE(body.contains("errors")) << c.what;
            EXPECT_EQ(body["errors"][0]["field"], c.field) << c.what;
        }
        EXPECT_EQ(ReadWholeFile(Db()), before) << c.what << " changed the file";
    }
}

// A message file named through the console lies in the program folder's messages/, which the
// console makes when it starts; a title or message text with a control character is refused.
// Both by the rules qtx-eventdb applies, with the same messages.
TEST_F(Console, MessageFilesLieInTheMessageFolderAndLoggedTextsHoldNoControls) {
    struct stat folder {
    }, messages{};
    ASSERT_EQ(::stat(dir.Path().c_str(), &folder), 0);
    ASSERT_EQ(::stat(dir.File("messages").c_str(), &messages), 0);
    EXPECT_TRUE(S_ISDIR(messages.st_mode));
    EXPECT_EQ(messages.st_mode & 07777, folder.st_mode & 07777);
    EXPECT_EQ(messages.st_gid, folder.st_gid);

    ApiClient op = As("operator");
    auto message = [](const std::string& key, const std::string& value) {
        json e = kMorningFeed;
        e["actions"] = {{{"kind", "message"},
                         {"to", "ip"},
                         {"address", "127.0.0.1"},
                         {"port", 7000},
                         {key, value}}};
        return e;
    };
    const std::string inside = dir.File("messages/news.txt");
    auto made = op.Json("POST", "/api/events", message("file", inside));
    ASSERT_EQ(made->status, 201) << made->body;
    const std::string before = ReadWholeFile(Db());

    struct Case {
        json event;
        std::string field, says;
    };
    std::vector<Case> cases;
    for (const std::string& path :
         {dir.File("qtx-console.users"), dir.File("qtx-console-audit.log"), Db(),
          dir.File("messages/../qtx-console.users"), dir.File("messages//news.txt"),
          dir.File("messages/./news.txt"), dir.File("messages/"), std::string("messages/news.txt")})
        cases.push_back({message("file", path), "message.file",
                         "message.file \"" + path +
                             "\" is not a file of the message folder (an "
                             "absolute path in " +
                             dir.File("messages/")});
    json forged = kMorningFeed;
    forged["title"] = "Feed\r\n12/7/2026 6:00:00 AM    Send Take";
    cases.push_back({forged, "title", "title \"Feed\\x0D\\x0A12/7/2026"});
    cases.push_back({message("text", "GO\n"), "message.text", "\"GO\\x0A\" holds a control"});
    for (const Case& c : cases)
        for (const char* method : {"POST", "PUT"}) {
            auto r = op.Json(
                method, method == std::string("POST") ? "/api/events" : "/api/events/1", c.event);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 422) << method << " " << c.says << ": " << r->body;
            json body = json::parse(r->body, nullptr, false);
            ASSERT_TRUE(body.is_object()) << r->body;
            EXPECT_NE(body.value("error", "").find(c.says), std::string::npos) << r->body;
            EXPECT_EQ(body["errors"][0]["field"], c.field) << r->body;
            EXPECT_EQ(ReadWholeFile(Db()), before) << method << " " << c.says;
        }

    // A file another program stored may stay through an edit; a new one must be in messages/.
    RunSql(Db(), "UPDATE Automation SET Message = '/srv/old/news.txt'");
    json stored = json::parse(op.Send("GET", "/api/events/1")->body);
    stored["time"] = "07:00:00";
    auto kept = op.Json("PUT", "/api/events/1", stored);
    EXPECT_EQ(kept->status, 200) << kept->body;
    stored.erase("version");  // the edit above changed it
    stored["actions"][0]["file"] = "/srv/old/other.txt";
    EXPECT_EQ(op.Json("PUT", "/api/events/1", stored)->status, 422);
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
                          {"startMinimized", true}});
    ASSERT_EQ(ok->status, 200) << ok->body;
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
    EXPECT_EQ(admin
                  .Json("POST", "/api/users",
                        {{"name", "night"}, {"role", "operator"}, {"password", "short"}})
                  ->status,
              422);
    EXPECT_EQ(admin
                  .Json("POST", "/api/users",
                        {{"name", "bad name"}, {"role", "operator"}, {"password", "long enough"}})
                  ->status,
              422);
    EXPECT_EQ(admin
                  .Json("POST", "/api/users",
                        {{"name", "night"}, {"role", "root"}, {"password", "long enough"}})
                  ->status,
              422);
    EXPECT_EQ(admin
                  .Json("POST", "/api/users",
                        {{"name", "night"}, {"role", "operator"}, {"password", "long enough"}})
                  ->status,
              201);
    EXPECT_EQ(admin
                  .Json("POST", "/api/users",
                        {{"name", "night"}, {"role", "operator"}, {"password", "long enough"}})
                  ->status,
              409);

    ApiClient night(console->Port());
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
    ApiClient late(console->Port());
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
    HttpClient stream("127.0.0.1", console->Port());
    std::string received;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        stream.Get("/api/status/stream", {{"Cookie", viewer.Cookie()}},
                   [&](const char* data, size_t n) {
                       received.append(data, n);
                       return !done.load();
                   });
    });
    loop.RunFor(300);
    channel->AddHistoryRow("Monday", "06:00:00", "Morning feed - Not Executed");
    channel->ShowEventOutcome(
        {1, "Monday", "06:00:00", "Morning feed", false, state::Refusal::InvalidCrosspoint, 4, {}});
    channel->AddHistoryRow("Monday", "06:00:01", "Ident");
    channel->ShowEventOutcome(
        {2, "Monday", "06:00:01", "Ident", true, state::Refusal::None, 7, {}});
    loop.RunFor(500);
    done = true;
    channel->SetPanelText(3, "6:00:02 AM");  // one more event so the reader sees done
    loop.RunFor(300);
    stream.stop();
    reader.join();
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

TEST(ConsoleProgram, ServesTlsWithSecureCookiesAndStopsOnSigterm) {
    TempDir dir;
    MakeEventDb(dir.File("QTXAutomation.mdb"));
    std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
        " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_EQ(RunConsoleTool({"add-user", "admin", "--role", "admin", "--folder", dir.Path()},
                             "long enough\n"),
              0);
    ConsoleProcess console(dir.Path(), {"--tls-cert", cert, "--tls-key", key});
    HttpClient https("127.0.0.1", console.Port(), true);
    https.enable_server_certificate_verification(false);
    auto r = https.Post("/api/login", json{{"user", "admin"}, {"password", "long enough"}}.dump(),
                        "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
    // Plain HTTP on the TLS port gets nothing.
    HttpClient plain("127.0.0.1", console.Port());
    plain.set_read_timeout(2, 0);
    auto p = plain.Get("/login.html");
    EXPECT_TRUE(!p || p->status != 200);
    EXPECT_TRUE(console.Terminate());
}

}  // namespace
}  // namespace qtx::test
