// The events through qtx-console's API as the pages send them: round trip with its audit, bad
// input refused by field with nothing written, and message files kept to the message folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "console/ConsoleFixture.h"

namespace qtx::test {
namespace {

using nlohmann::json;

// The weekday take with one message action instead, to address:port, its key "text" or "file".
json MessageEvent(const std::string& key, const std::string& value,
                  const std::string& address = "127.0.0.1", int port = 7000) {
    json e = kMorningFeed;
    e["actions"] = {
        {{"kind", "message"}, {"to", "ip"}, {"address", address}, {"port", port}, {key, value}}};
    return e;
}

class ConsoleEvents : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override { Start(); }
};

TEST_F(ConsoleEvents, EventsRoundTripAndEveryChangeIsAudited) {
    ApiClient op = As("operator");
    json made = json::parse(op.Json("POST", "/api/events", kMorningFeed)->body);
    int number = made["number"];
    EXPECT_EQ(number, 1);
    EXPECT_EQ(made["marking"], "active");

    auto list = op.Send("GET", "/api/events");
    ASSERT_EQ(list->status, 200);
    // Lists go out uncompressed: the library's brotli made a browser wait seconds for a large one.
    HttpClient browser("127.0.0.1", Port());
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

TEST_F(ConsoleEvents, BadEventInputIsRefusedWithItsMessageAndNothingWritten) {
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
        {"bad address", "POST", "/api/events", MessageEvent("text", "GO", "10.0.0.300").dump(), 422,
         "message.address", "10.0.0.300"},
        {"bad port", "POST", "/api/events", MessageEvent("text", "GO", "127.0.0.1", 99999).dump(),
         422, "message.port", "99999"},
        {"no such event", "PUT", "/api/events/7", kMorningFeed.dump(), 404, "", "no event 7"},
        {"number not a number", "GET", "/api/events/abc", "", 400, "", "not a whole number"},
        {"number out of range in path", "DELETE", "/api/events/0", "", 400, "", "out of range"},
        {"preview days out of range", "GET", "/api/preview?days=400", "", 400, "", "days"},
        {"preview from not a moment", "GET", "/api/preview?from=tomorrow", "", 400, "", "from"},
    };
    for (const Case& c : cases) {
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
TEST_F(ConsoleEvents, MessageFilesLieInTheMessageFolderAndLoggedTextsHoldNoControls) {
    struct stat folder {
    }, messages{};
    ASSERT_EQ(::stat(dir.Path().c_str(), &folder), 0);
    ASSERT_EQ(::stat(dir.File("messages").c_str(), &messages), 0);
    EXPECT_TRUE(S_ISDIR(messages.st_mode));
    EXPECT_EQ(messages.st_mode & 07777, folder.st_mode & 07777);
    EXPECT_EQ(messages.st_gid, folder.st_gid);

    ApiClient op = As("operator");
    const std::string inside = dir.File("messages/news.txt");
    auto made = op.Json("POST", "/api/events", MessageEvent("file", inside));
    ASSERT_EQ(made->status, 201) << made->body;
    const std::string before = ReadWholeFile(Db());

    struct Case {
        json event;
        std::string field, says;
    };
    std::vector<Case> cases;
    // The rule is the event tool's, tried there on every way around the folder
    // (EventDbCli.MessageFilesLieInTheMessageFolderAndLoggedTextsHoldNoControls).
    for (const std::string& path :
         {std::string("/etc/shadow"), dir.File("qtx-console-audit.log"),
          dir.File("messages/../qtx-console.users"), std::string("messages/news.txt")})
        cases.push_back({MessageEvent("file", path), "message.file",
                         "message.file \"" + path +
                             "\" is not a file of the message folder (an "
                             "absolute path in " +
                             dir.File("messages/")});
    json forged = kMorningFeed;
    forged["title"] = "Feed\r\n12/7/2026 6:00:00 AM    Send Take";
    cases.push_back({forged, "title", "title \"Feed\\x0D\\x0A12/7/2026"});
    cases.push_back({MessageEvent("text", "GO\n"), "message.text", "\"GO\\x0A\" holds a control"});
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

}  // namespace
}  // namespace qtx::test
