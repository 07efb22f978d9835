// POST /api/import against the real qtx-console: CSV in both forms and the JSON list, added or
// replacing, stored all or nothing by the event tool's import and audited as one change.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "console/ConsoleFixture.h"

namespace qtx::test {
namespace {

using nlohmann::json;

const char* kCsv = "text/csv";
const char* kJson = "application/json";

class ConsoleImport : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override {
        Start({"viewer", "operator"});
        op = std::make_unique<ApiClient>(As("operator"));
    }
    // Every row of Automation as quoted columns, in number and day order.
    std::vector<std::string> Rows(const std::vector<std::string>& columns) {
        std::string select;
        for (const std::string& c : columns)
            select += (select.empty() ? "quote(" : " || '|' || quote(") + c + ")";
        return QueryColumn(Db(), "SELECT " + select + " FROM Automation ORDER BY Number, Day");
    }
    json List() {
        auto r = op->Send("GET", "/api/events");
        EXPECT_EQ(r->status, 200);
        return json::parse(r->body);
    }

    std::unique_ptr<ApiClient> op;
};

// The event form for events first..last: weekday events at a second each, taking n:1.
std::string EventLines(int first, int last) {
    std::string csv;
    for (int n = first; n <= last; ++n)
        csv += std::to_string(n) + ",Event " + std::to_string(n) + ",mon-fri,0" +
               std::to_string(n / 3600 % 10) + ":" + std::to_string(10 + n / 60 % 50) + ":" +
               std::to_string(10 + n % 50) + ",take:" + std::to_string(n % 100 + 1) + ":1\r\n";
    return csv;
}
const std::string kEventHeader = "number,title,days,at,crosspoint\r\n";

TEST_F(ConsoleImport, CsvAndJsonAddEventsAndReplaceMakesTheFileExactlyThose) {
    // The event form, past the 64 KiB of an ordinary request: every event added, one audit line.
    const std::string events = kEventHeader + EventLines(1, 2000);
    ASSERT_GT(events.size(), 64u * 1024);
    auto r = op->PostAs("/api/import", events, kCsv);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["imported"], 2000);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Automation"), "10000");  // five days each
    EXPECT_EQ(QueryOne(Db(), "SELECT Title FROM Automation WHERE Number = 1234 LIMIT 1"),
              "Event 1234");

    // The row form, with a charset parameter; the event form with a file of the message folder.
    r = op->PostAs("/api/import", "Number,Day,Time,Title\r\n3000,6,23:00:00,Late news\r\n",
                   "text/csv; charset=utf-8");
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(QueryOne(Db(), "SELECT Title || '|' || Active FROM Automation WHERE Number = 3000"),
              "Late news|1");
    const std::string file = dir.File("messages/news.txt");
    r = op->PostAs(
        "/api/import",
        "number,title,days,at,message,file\r\n3001,News,sat,22:00:00,ip:127.0.0.1:7000," + file +
            "\r\n",
        kCsv);
    ASSERT_EQ(r->status, 200) << r->body;

    // The JSON list as GET gives it, back with replace: the file's events stay exactly these.
    const json list = List();
    ASSERT_EQ(list.size(), 2002u);
    // The rows keep their days, times and titles; the list itself says the rest.
    const std::vector<std::string> columns{"Number", "Day", "Time", "Title"};
    const std::vector<std::string> rows = Rows(columns);
    r = op->Send("POST", "/api/import?replace=1", list.dump());
    ASSERT_EQ(r->status, 200) << r->body;
    const std::vector<std::string> again = Rows(columns);
    ASSERT_EQ(again.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(again[i], rows[i]);
    EXPECT_EQ(List(), list) << "a replace by the list itself changed an event";

    // JSON without replace adds (a number is chosen when absent); replace by a short CSV leaves
    // only its events.
    r = op->Json("POST", "/api/import",
                 json::array({{{"title", "Chosen"}, {"days", {"sun"}}, {"time", "05:00:00"}}}));
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["numbers"], json::array({2001}));
    r = op->PostAs("/api/import?replace=1", kEventHeader + EventLines(7, 8), kCsv);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(QueryOne(Db(), "SELECT group_concat(DISTINCT Number) FROM Automation"), "7,8");

    // Each import is one audit line: who, what, and the numbers before and after.
    const std::vector<json> audit = Audit();
    std::vector<json> imports;
    for (const json& line : audit)
        if (line["action"] == "event-import")
            imports.push_back(line);
    ASSERT_EQ(imports.size(), 6u);
    EXPECT_EQ(imports[0]["user"], "operator");
    EXPECT_EQ(imports[0]["after"]["events"], 2000);
    EXPECT_EQ(imports[0]["after"]["rows"], 10000);
    EXPECT_TRUE(imports[0]["before"].is_null());
    EXPECT_EQ(imports[5]["before"]["numbers"].size(), 2003u);
    EXPECT_EQ(imports[5]["after"]["numbers"], json::array({7, 8}));
    EXPECT_EQ(imports[5]["after"]["replace"], true);
}

// A refused import (a line or an event, the size, the media type, the role) names why, stores
// nothing and is not audited.
TEST_F(ConsoleImport, ARefusedLineOrEventStoresNothing) {
    ASSERT_EQ(op->PostAs("/api/import", kEventHeader + EventLines(1, 1), kCsv)->status, 200);
    const std::string good = EventLines(100, 150);
    struct Case {
        const char* What;
        std::string Body;
        const char* Type;
        std::string Query;
        int Status;
        std::string Says;
    };
    const json okEvent = {{"number", 60}, {"title", "A"}, {"days", {"mon"}}, {"time", "06:00:00"}};
    json badTime = okEvent;
    badTime["number"] = 61;
    badTime["time"] = "25:00:00";
    // Past 64 MiB: a CSV that is well formed up to its size.
    std::string big = kEventHeader;
    const std::string line = "1,A,mon,06:00:00,\r\n";
    big.reserve((64u << 20) + line.size());
    while (big.size() <= 64u << 20)
        big += line;
    const Case cases[] = {
        {"a CSV past 64 MiB", big, kCsv, "", 413, ""},
        {"another media type", good, "text/plain", "", 415, "text/csv or application/json"},
        {"a bad time in the middle", kEventHeader + good + "151,B,mon,6 o'clock,\r\n" + good, kCsv,
         "", 422, "line 53: event 151 \"B\": time \"6 o'clock\""},
        {"a message file outside the message folder",
         "number,title,days,at,message,text,file\r\n60,A,mon,06:00:00,ip:127.0.0.1:7000,GO,\r\n"
         "61,B,mon,06:00:01,ip:127.0.0.1:7000,," +
             dir.File("qtx-console.users") + "\r\n",
         kCsv, "", 422, "line 3: event 61 \"B\": message.file"},
        {"an event the file has", kEventHeader + EventLines(50, 52) + EventLines(1, 1), kCsv, "",
         422, "line 5: event 1 \"Event 1\": number 1 is already used"},
        {"a row of an event the file has", "Number,Day,Time\r\n70,1,06:00:00\r\n1,2,07:00:00\r\n",
         kCsv, "", 422, "line 3: "},
        {"a line of too few fields", kEventHeader + good + "152,C\r\n", kCsv, "", 422,
         "line 53: 2 fields, the header has 5"},
        {"a cell in no known form", kEventHeader + "60,A,someday,06:00:00,\r\n", kCsv, "", 422,
         "line 2: "},
        {"a bad event of the list", json::array({okEvent, badTime}).dump(), kJson, "", 422,
         "event 2 of the list: event 61 \"A\": time"},
        {"a list event of a wrong shape", json::array({okEvent, {{"colour", 1}}}).dump(), kJson, "",
         400, "event 2 of the list: event: unknown field"},
        {"replace with a bad line", kEventHeader + good + "151,B,mon,6 o'clock,\r\n", kCsv,
         "?replace=1", 422, "line 53: "},
        {"not a list", okEvent.dump(), kJson, "", 400, "a JSON list"},
        {"an unclosed quote", kEventHeader + "\"60,A\r\n", kCsv, "", 422, "quote"},
    };
    const std::string before = ReadWholeFile(Db());
    ApiClient viewer = As("viewer");  // its login is audited; its import must not be
    const size_t audited = Audit().size();
    for (const Case& c : cases) {
        auto r = op->PostAs("/api/import" + c.Query, c.Body, c.Type);
        ASSERT_TRUE(r) << c.What;
        EXPECT_EQ(r->status, c.Status) << c.What << ": " << r->body;
        const json body = json::parse(r->body, nullptr, false);
        EXPECT_NE(body.value("error", "").find(c.Says), std::string::npos)
            << c.What << ": " << r->body;
        EXPECT_TRUE(ReadWholeFile(Db()) == before) << c.What << " changed the file";
    }
    EXPECT_EQ(viewer.PostAs("/api/import", kEventHeader + good, kCsv)->status, 403);
    EXPECT_TRUE(ReadWholeFile(Db()) == before) << "a viewer's import changed the file";
    EXPECT_EQ(Audit().size(), audited);
}

}  // namespace
}  // namespace qtx::test
