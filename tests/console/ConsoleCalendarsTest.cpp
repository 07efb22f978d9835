// Calendars through qtx-console's API: the routes' checks and roles, dates replaced in one
// transaction and audited, an iCalendar import (and a broken one that stores nothing), and a
// calendar that events use kept.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "common/DateTime.h"
#include "common/Limits.h"
#include "console/ConsoleFixture.h"
#include "schedule/DateRules.h"

namespace qtx::test {
namespace {

using nlohmann::json;

// Christmas every year: any five years from today hold exactly five of them.
const std::string kYearly =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:x@qtx.test\r\n"
    "DTSTART;VALUE=DATE:20201225\r\nRRULE:FREQ=YEARLY\r\nSUMMARY:Christmas Day\r\n"
    "END:VEVENT\r\nEND:VCALENDAR\r\n";
// A start that is not a date, on line 7.
const std::string kBroken =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:b@qtx.test\r\n"
    "SUMMARY:Bad start\r\nX-NOTE:fine\r\nDTSTART:2027013X\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";

const json kUk = {{"dates",
                   {{{"date", "2027-12-27"}, {"title", "Christmas Day (substitute)"}},
                    {{"date", "2027-01-01"}, {"title", "New Year's Day"}}}}};

class ConsoleCalendars : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override { Start(); }
    std::string Dates() {
        return QueryOne(Db(),
                        "SELECT coalesce(group_concat(Calendar || ' ' || Date || ' ' || Title, "
                        "'; '), '') FROM (SELECT * FROM CalendarDates ORDER BY Calendar, Date)");
    }
};

TEST_F(ConsoleCalendars, ChangesPassTheConsolesChecksAndReadsNeedOnlyASession) {
    ApiClient op = As("operator"), viewer = As("viewer");
    ASSERT_EQ(op.Json("PUT", "/api/calendars/uk", kUk)->status, 201);
    const std::string stored = Dates();
    ASSERT_NE(stored, "");

    struct Change {
        std::string method, path, body, type;
    };
    const std::vector<Change> changes{
        {"PUT", "/api/calendars", json::array().dump(), "application/json"},
        {"PUT", "/api/calendars/uk", json{{"dates", json::array()}}.dump(), "application/json"},
        {"DELETE", "/api/calendars/uk", "", "application/json"},
        {"POST", "/api/calendars/uk/import", kYearly, "text/calendar"},
    };
    // The token and Origin checks run for every route in one place
    // (Defences.ChecksRunInTheirOrder); the role, the media type and the body limit are each
    // route's own.
    const auto send = [&](ApiClient& who, const Change& c, const std::string& type,
                          const std::string* body = nullptr) {
        HttpClient http("127.0.0.1", Port());
        const HttpHeaders headers{
            {"Cookie", who.Cookie()}, {"X-CSRF-Token", who.Csrf()}, {"Content-Type", type}};
        return http.Send(c.method, c.path, headers, body ? body : &c.body);
    };
    for (const Change& c : changes) {
        const std::string what = c.method + " " + c.path;
        if (c.method != "DELETE") {
            EXPECT_EQ(send(op, c, "text/plain")->status, 415) << what;
        }
        EXPECT_EQ(send(viewer, c, c.type)->status, 403) << what << ": a viewer";
        // Past the route's limit (a delete's: a few bytes).
        const std::string big(c.method == "DELETE" ? 2048 : qtx::limits::ConsoleMaxCalendarBody + 1,
                              'x');
        EXPECT_EQ(send(op, c, c.type, &big)->status, 413) << what;
        EXPECT_EQ(Dates(), stored) << what;
    }
    ApiClient anon(Port());
    for (const char* path : {"/api/calendars", "/api/calendars/uk"}) {
        EXPECT_EQ(anon.Send("GET", path)->status, 401) << path;
        EXPECT_EQ(viewer.Send("GET", path)->status, 200) << path;
    }
    EXPECT_EQ(viewer.Send("GET", "/api/calendars/none")->status, 404);
    EXPECT_EQ(op.Send("POST", "/api/calendars/uk")->status, 405);
    EXPECT_EQ(op.Send("GET", "/calendars.html")->status, 200);
}

TEST_F(ConsoleCalendars, DatesAreReplacedWholeCheckedAndAudited) {
    ApiClient op = As("operator");
    auto made = op.Json("PUT", "/api/calendars/uk", kUk);
    ASSERT_EQ(made->status, 201) << made->body;
    json uk = json::parse(made->body);
    EXPECT_EQ(uk["count"], 2);
    EXPECT_EQ(uk["dates"][0], (json{{"date", "2027-01-01"}, {"title", "New Year's Day"}}));
    EXPECT_EQ(uk["usedBy"], json::array());
    EXPECT_EQ(json::parse(op.Send("GET", "/api/calendars/uk")->body), uk);

    // Refused whole, by the shared rules, with each message at its place in the form.
    struct Bad {
        std::string name;
        json dates;
        std::string field;
    };
    for (const Bad& b : std::vector<Bad>{
             {"uk", {{{"date", "2027-02-29"}}}, "dates.0.date"},
             {"uk", {{{"date", "2027-01-01"}}, {{"date", "2027-01-01"}}}, "dates.1.date"},
             {"uk", {{{"date", "2027-01-01"}, {"title", "tab\there"}}}, "dates.0.title"},
             {"uk", {{{"date", "2027-01-01"}, {"title", std::string(300, 't')}}}, "dates.0.title"},
             {"u,k", json::array(), "name"},
         }) {
        auto r = op.Json("PUT", "/api/calendars/" + b.name, {{"dates", b.dates}});
        ASSERT_EQ(r->status, 422) << b.dates.dump() << r->body;
        EXPECT_EQ(json::parse(r->body)["errors"][0]["field"], b.field) << r->body;
    }
    for (const json& shape : {json{{"dates", {{{"date", 20270101}}}}}, json{{"days", {}}},
                              json{{"name", "other"}, {"dates", json::array()}}})
        EXPECT_EQ(op.Json("PUT", "/api/calendars/uk", shape)->status, 400) << shape.dump();

    // What GET /api/calendars gives, PUT /api/calendars takes back: the file's calendars become
    // those of the list.
    ASSERT_EQ(
        op.Json("PUT", "/api/calendars/closures", {{"dates", {{{"date", "2027-08-02"}}}}})->status,
        201);
    json all = json::parse(op.Send("GET", "/api/calendars")->body);
    ASSERT_EQ(all.size(), 2u);
    const std::string before = Dates();
    auto same = op.Json("PUT", "/api/calendars", all);
    ASSERT_EQ(same->status, 200) << same->body;
    EXPECT_EQ(json::parse(same->body), all);
    EXPECT_EQ(Dates(), before);
    auto fewer = op.Json("PUT", "/api/calendars", json::array({all[1]}));
    ASSERT_EQ(fewer->status, 200) << fewer->body;
    EXPECT_EQ(QueryColumn(Db(), "SELECT Name FROM Calendars"), std::vector<std::string>{"uk"});

    std::vector<std::string> actions;
    for (const json& line : Audit())
        if (line["action"].get<std::string>().rfind("calendar", 0) == 0)
            actions.push_back(line["action"]);
    EXPECT_EQ(actions, (std::vector<std::string>{"calendar-set", "calendar-set",
                                                 "calendars-replace", "calendars-replace"}));
    EXPECT_EQ(Audit().back()["before"].size(), 2u);
}

TEST_F(ConsoleCalendars, AnImportReplacesTheDatesABrokenFileStoresNothingAndAUsedOneStays) {
    ApiClient op = As("operator");
    ASSERT_EQ(op.Json("PUT", "/api/calendars/uk", kUk)->status, 201);
    const std::string stored = Dates();

    auto broken = op.PostAs("/api/calendars/uk/import", kBroken, "text/calendar");
    ASSERT_EQ(broken->status, 422) << broken->body;
    json refusal = json::parse(broken->body);
    EXPECT_EQ(refusal["line"], 7);
    EXPECT_NE(refusal["error"].get<std::string>().find("line 7: "), std::string::npos);
    EXPECT_NE(refusal["error"].get<std::string>().find("nothing stored"), std::string::npos);
    EXPECT_EQ(Dates(), stored);
    // A new calendar from a broken file is not made either.
    EXPECT_EQ(op.PostAs("/api/calendars/new/import", kBroken, "text/calendar")->status, 422);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Calendars WHERE Name = 'new'"), "0");

    auto good = op.PostAs("/api/calendars/uk/import", kYearly, "text/calendar");
    ASSERT_EQ(good->status, 200) << good->body;
    json answer = json::parse(good->body);
    EXPECT_EQ(answer["imported"], 5);
    const json& dates = answer["calendar"]["dates"];
    ASSERT_EQ(dates.size(), 5u);
    std::time_t t = std::time(nullptr);
    std::tm now{};
    localtime_r(&t, &now);
    const int64_t today = DaysFromCivil(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    for (const json& d : dates) {
        const std::string date = d["date"];
        EXPECT_EQ(date.substr(4), "-12-25");
        EXPECT_GE(*schedule::ParseDate(date), today);
        EXPECT_EQ(d["title"], "Christmas Day");
    }
    EXPECT_EQ(Audit().back()["action"], "calendar-import");
    EXPECT_EQ(Audit().back()["before"]["count"], 2);
    EXPECT_EQ(Audit().back()["after"]["count"], 5);

    // A calendar that events use is kept.
    ASSERT_EQ(op.Json("PUT", "/api/calendars/term", {{"dates", json::array()}})->status, 201);
    json feed = kMorningFeed;
    feed["number"] = 100;
    feed["except"] = {"uk"};
    feed["only"] = {"term"};
    ASSERT_EQ(op.Json("POST", "/api/events", feed)->status, 201);
    feed["number"] = 101;
    feed.erase("only");
    ASSERT_EQ(op.Json("POST", "/api/events", feed)->status, 201);

    EXPECT_EQ(json::parse(op.Send("GET", "/api/calendars/uk")->body)["usedBy"], json({100, 101}));
    auto refused = op.Send("DELETE", "/api/calendars/uk");
    ASSERT_EQ(refused->status, 409);
    EXPECT_NE(json::parse(refused->body)["error"].get<std::string>().find("events 100, 101"),
              std::string::npos)
        << refused->body;
    EXPECT_EQ(op.Json("PUT", "/api/calendars", json::array())->status, 409);
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Calendars"), "2");

    ASSERT_EQ(op.Send("DELETE", "/api/events/100")->status, 200);
    EXPECT_EQ(op.Send("DELETE", "/api/calendars/term")->status, 200);
    EXPECT_EQ(op.Send("DELETE", "/api/calendars/term")->status, 404);
    EXPECT_EQ(Audit().back()["action"], "calendar-delete");
    EXPECT_EQ(Audit().back()["before"]["name"], "term");
}

}  // namespace
}  // namespace qtx::test
