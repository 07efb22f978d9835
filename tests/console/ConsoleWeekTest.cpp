// GET /api/week against the real qtx-console: the Week page's grid made by the server, a window
// of each day's occurrences in the engine's order, from the rows as another program wrote them;
// a real week's dates, its holidays and each occurrence as the engine will judge it.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "common/DateTime.h"
#include "console/ConsoleFixture.h"
#include "schedule/DateRules.h"

namespace qtx::test {
namespace {

using nlohmann::json;

std::vector<int> Numbers(const json& entries) {
    std::vector<int> out;
    for (const json& e : entries)
        out.push_back(e["number"].get<int>());
    return out;
}

TEST(ConsoleWeek, DaysComeInTheEnginesOrderAWindowAtATime) {
    ConsoleFolder folder;
    // Monday 01:00 .. 05:00 (event 1 on Wednesday too); two events of one Sunday second, the
    // higher number stored first (the engine runs it first); one record without a day.
    RunSql(folder.Db(),
           "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, "
           "DestChan) VALUES (1, 0, '01:00:00', 'Mon 1', 1, 1, 3, 1), "
           "(1, 2, '01:00:00', 'Mon 1', 1, 1, 3, 1), (2, 0, '02:00:00', 'Mon 2', 2, 1, 3, 1), "
           "(3, 0, '03:00:00', 'Mon 3', 1, 1, 3, 1), (4, 0, '04:00:00', 'Mon 4', 1, 1, 3, 1), "
           "(5, 0, '05:00:00', 'Mon 5', 1, 1, 3, 1), (30, 6, '03:33:33', 'same 30', 1, 1, 3, 1), "
           "(20, 6, '03:33:33', 'same 20', 1, 1, 3, 1), (40, 7, '08:00:00', 'no day', 1, 1, 3, 1)");
    folder.Start({"viewer"});
    ApiClient viewer = folder.As("viewer");
    const auto week = [&](const std::string& query) {
        auto r = viewer.Send("GET", "/api/week" + query);
        EXPECT_EQ(r->status, 200) << query << ": " << r->body;
        return json::parse(r->body);
    };

    json w = week("?from=02:00:00&count=2");
    ASSERT_EQ(w["days"].size(), 7u);
    const json& mon = w["days"][0];
    EXPECT_EQ(mon["total"], 5);
    EXPECT_EQ(mon["first"], 1);
    EXPECT_EQ(Numbers(mon["entries"]), (std::vector<int>{2, 3}));
    EXPECT_EQ(mon["earlier"], "01:00:00");
    EXPECT_EQ(mon["later"], "03:00:00");
    // The entry carries the page's columns in the server's words, as the event list gives them.
    const json two = json::parse(viewer.Send("GET", "/api/events/2")->body);
    for (const char* field : {"title", "time", "marking", "what"})
        EXPECT_EQ(mon["entries"][0][field], two[field]) << field;
    EXPECT_EQ(mon["entries"][0]["marking"], "skip-next");
    const json& wed = w["days"][2];
    EXPECT_EQ(wed["total"], 1);
    EXPECT_EQ(wed["first"], 1);
    EXPECT_TRUE(wed["entries"].empty());
    EXPECT_TRUE(wed["later"].is_null());
    const json& sun = w["days"][6];
    EXPECT_EQ(Numbers(sun["entries"]), (std::vector<int>{30, 20}));
    EXPECT_EQ(sun["entries"][0]["same"], json({20}));
    EXPECT_EQ(sun["entries"][1]["same"], json({30}));
    EXPECT_EQ(w["apart"]["total"], 1);
    EXPECT_EQ(w["apart"]["events"][0]["number"], 40);

    // The first window by default; Find narrows every day by number and title, in any case.
    EXPECT_EQ(Numbers(week("")["days"][0]["entries"]), (std::vector<int>{1, 2, 3, 4, 5}));
    json found = week("?find=MON%203");
    EXPECT_EQ(Numbers(found["days"][0]["entries"]), std::vector<int>{3});
    EXPECT_EQ(found["days"][6]["total"], 0);
    EXPECT_EQ(found["apart"]["total"], 0);

    for (const char* bad : {"?from=2:00", "?from=ab:cd:ef", "?count=0", "?count=501"})
        EXPECT_EQ(viewer.Send("GET", std::string("/api/week") + bad)->status, 400) << bad;
}

TEST(ConsoleWeek, ARealWeekShowsItsHolidaysAndTheEnginesJudgement) {
    ConsoleFolder folder;
    folder.Start({"operator"});
    ApiClient op = folder.As("operator");
    std::time_t t = std::time(nullptr);
    std::tm now{};
    localtime_r(&t, &now);
    const int64_t today = DaysFromCivil(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    const int64_t monday = today - (today + 3) % 7, next = monday + 7;
    using schedule::FormatDate;
    ASSERT_EQ(op.Json("PUT", "/api/calendars/uk",
                      {{"dates", {{{"date", FormatDate(next + 2)}, {"title", "Test Day"}}}}})
                  ->status,
              201);
    json feed = kMorningFeed;
    feed["except"] = {"uk"};
    ASSERT_EQ(op.Json("POST", "/api/events", feed)->status, 201);
    json later = kMorningFeed;
    later["title"] = "Season";
    later["from"] = FormatDate(next + 4);
    ASSERT_EQ(op.Json("POST", "/api/events", later)->status, 201);

    auto r = op.Send("GET", "/api/week?week=" + FormatDate(next + 3));
    ASSERT_EQ(r->status, 200) << r->body;
    const json w = json::parse(r->body);
    EXPECT_EQ(w["monday"], FormatDate(next));
    EXPECT_EQ(w["judged"], true) << w["note"];
    for (int d = 0; d < 7; ++d) {
        const json& day = w["days"][d];
        EXPECT_EQ(day["date"], FormatDate(next + d));
        EXPECT_EQ(day["holidays"], d == 2
                                       ? json::array({{{"calendar", "uk"}, {"title", "Test Day"}}})
                                       : json::array())
            << d;
        for (const json& e : day["entries"]) {
            // Each weekday's runs as the preview has them: the holiday and the days before the
            // season are excluded, with the engine's words.
            const bool feedRuns = e["number"] == 1 && d != 2,
                       seasonRuns = e["number"] == 2 && d == 4;
            ASSERT_TRUE(e["judged"].is_object()) << d << " " << e.dump();
            EXPECT_EQ(e["judged"]["ran"], feedRuns || seasonRuns) << d << " " << e.dump();
            EXPECT_EQ(e["judged"]["excluded"], !(feedRuns || seasonRuns));
            if (e["number"] == 1 && d == 2) {
                EXPECT_EQ(e["judged"]["reason"], "Holiday Test Day (uk)");
                EXPECT_EQ(e["judged"]["refusal"], "holiday");
            }
            if (e["number"] == 2 && d < 4) {
                EXPECT_EQ(e["judged"]["reason"], "Outside its dates");
            }
        }
    }

    // Today's week by default; a week gone by is past, without a preview.
    EXPECT_EQ(json::parse(op.Send("GET", "/api/week")->body)["monday"], FormatDate(monday));
    const json gone = json::parse(op.Send("GET", "/api/week?week=" + FormatDate(monday - 7))->body);
    EXPECT_EQ(gone["days"][0]["entries"][0]["past"], true);
    EXPECT_FALSE(gone["days"][0]["entries"][0].contains("judged"));
    for (const char* bad : {"?week=2027-02-29", "?week=next"})
        EXPECT_EQ(op.Send("GET", std::string("/api/week") + bad)->status, 400) << bad;
}

}  // namespace
}  // namespace qtx::test
