// Date rules: the judgement of an occurrence, the rules' messages, and the tables beside
// Automation (round trip, defensive reads, calendars kept per name).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/Fault.h"
#include "database/DBEngine.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "schedule/DateStore.h"
#include "schedule/EventStore.h"
#include "schedule/Rules.h"

namespace qtx::schedule {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

int64_t D(const char* text) {
    return ParseDate(text).value();
}

TEST(DateRulesTest, TheJudgementOfOneOccurrence) {
    DateRules season;
    season.From = "2027-01-01";
    season.Until = "2027-06-30";
    DateRules fortnight;  // week_of a Sunday: its week began Monday 2026-12-28
    fortnight.EveryWeeks = 2;
    fortnight.WeekOf = "2027-01-03";
    DateRules holidays;
    holidays.Except = {"uk"};
    DateRules term;
    term.Only = {"term", "extra"};
    DateRules triennial;  // 2026 has 53 ISO weeks: counted weeks must not care
    triennial.EveryWeeks = 3;
    triennial.WeekOf = "2026-12-21";
    const std::vector<Calendar> calendars = {
        {"uk", {{D("2026-12-25"), "Christmas Day"}, {D("2027-01-01"), "New Year's Day"}}},
        {"term", {{D("2027-01-05"), "Spring"}}},
        {"extra", {{D("2027-01-06"), "Inset"}}},
    };
    const DateBook book({{1, season}, {2, fortnight}, {3, holidays}, {4, term}, {5, triennial}},
                        calendars);
    struct Case {
        int Number;
        const char* Date;
        DateVerdict Verdict;
        const char* Text;
    } cases[] = {
        {1, "2026-12-31", DateVerdict::OutsideDates, "Outside its dates"},
        {1, "2027-01-01", DateVerdict::Runs, ""},
        {1, "2027-06-30", DateVerdict::Runs, ""},
        {1, "2027-07-01", DateVerdict::OutsideDates, "Outside its dates"},
        {2, "2026-12-28", DateVerdict::Runs, ""},  // Monday of week_of's week
        {2, "2027-01-04", DateVerdict::NotItsWeek, "Not its week"},
        {2, "2027-01-11", DateVerdict::Runs, ""},
        {2, "2026-12-27", DateVerdict::NotItsWeek, "Not its week"},  // the Sunday before
        {2, "2026-12-14", DateVerdict::Runs, ""},                    // weeks before count too
        {5, "2027-01-11", DateVerdict::Runs, ""},
        {5, "2027-01-04", DateVerdict::NotItsWeek, "Not its week"},
        {3, "2026-12-25", DateVerdict::Holiday, "Holiday Christmas Day (uk)"},  // a Friday
        {3, "2026-12-24", DateVerdict::Runs, ""},
        {4, "2027-01-05", DateVerdict::Runs, ""},
        {4, "2027-01-06", DateVerdict::Runs, ""},
        {4, "2027-01-07", DateVerdict::NotInCalendar, "Not in term,extra"},
        {9, "2026-12-25", DateVerdict::Runs, ""},  // an event without rules
    };
    for (const Case& c : cases) {
        const Judgement j = book.Judge(c.Number, D(c.Date));
        EXPECT_EQ(j.Verdict, c.Verdict) << c.Number << " " << c.Date;
        EXPECT_EQ(j.Text, c.Text) << c.Number << " " << c.Date;
    }
}

TEST(DateRulesTest, LatestCountsWholeSeconds) {
    DateRules five, zero;
    five.Latest = "00:00:05";
    zero.Latest = "00:00:00";
    const DateBook book({{1, five}, {2, zero}}, {});
    const int due = 10 * 3600;
    struct Case {
        int Number;
        int64_t LatenessMs;
        bool Late;
    } cases[] = {{1, 0, false},   {1, 5999, false}, {1, 6000, true},
                 {2, 999, false}, {2, 1000, true},  {3, 86'000'000, false}};
    for (const Case& c : cases) {
        const Judgement j = book.JudgeStart(c.Number, due, c.LatenessMs);
        EXPECT_EQ(j.Verdict == DateVerdict::TooLate, c.Late) << c.Number << " " << c.LatenessMs;
        if (c.Late) {
            EXPECT_EQ(j.Text, "Too late (due 10:00:00)");
        }
    }
}

TEST(DateRulesTest, EachRuleNamesTheEventTheFieldAndTheValue) {
    struct Case {
        DateRules Rules;
        const char* Field;
        const char* Message;
    };
    auto rules = [](auto set) {
        DateRules r;
        set(r);
        return r;
    };
    const Case cases[] = {
        {rules([](DateRules& r) { r.From = "2027-02-29"; }), "from",
         "event 100 \"Feed\": from \"2027-02-29\" is not a date (YYYY-MM-DD, a date that exists)"},
        {rules([](DateRules& r) {
             r.From = "2027-03-01";
             r.Until = "2027-02-01";
         }),
         "until", "until \"2027-02-01\" is before from \"2027-03-01\""},
        {rules([](DateRules& r) {
             r.EveryWeeks = 53;
             r.WeekOf = "2027-01-04";
         }),
         "every_weeks", "every_weeks 53 is not a number of weeks (1 to 52)"},
        {rules([](DateRules& r) { r.EveryWeeks = 2; }), "week_of", "week_of is missing"},
        {rules([](DateRules& r) { r.Latest = "24:00:00"; }), "latest",
         "latest \"24:00:00\" is not a span of time (hh:mm:ss, 00:00:00 to 23:59:59)"},
        {rules([](DateRules& r) { r.Except = {"u\nk"}; }), "except",
         "except \"u\\x0Ak\" is not a calendar name"},
        {rules([](DateRules& r) { r.Only = {"nope"}; }), "only",
         "only \"nope\" is not a calendar of this file"},
    };
    for (const Case& c : cases) {
        Event e;
        e.Number = 100;
        e.Title = "Feed";
        e.Dates = c.Rules;
        const auto problems = CheckDateRules(e, {"uk"});
        ASSERT_EQ(problems.size(), 1u) << c.Field;
        EXPECT_EQ(problems[0].Field, c.Field);
        EXPECT_THAT(problems[0].Message, HasSubstr(c.Message));
    }
}

class DateStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { test::MakeEventDb(path); }
    test::TempDir dir;
    std::string path = dir.Path() + "/e.mdb";
    DBEngine engine;
};

TEST_F(DateStoreTest, RulesTravelWithTheEventAndAutomationIsUntouched) {
    const auto before = test::ColumnNames(path, "Automation");
    Database db = engine.OpenDatabase(path);
    AddCalendarDate(db, "uk", D("2026-12-25"), "Christmas Day");
    Event e;
    e.Title = "Feed";
    e.Days = {0, 1, 2, 3, 4};
    e.Time = "06:00:00";
    e.Dates.From = "2027-01-01";
    e.Dates.EveryWeeks = 2;
    e.Dates.WeekOf = "2027-01-04";
    e.Dates.Except = {"uk"};
    e.Dates.Latest = "00:00:10";
    ASSERT_TRUE(CreateEvent(db, e).empty());
    EXPECT_EQ(ReadEvent(db, e.Number)->Dates, e.Dates);
    // Unknown calendar: refused, nothing stored.
    Event other = e;
    other.Number = 0;
    other.Dates.Only = {"term"};
    const auto problems = CreateEvent(db, other);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].Field, "only");
    EXPECT_EQ(ReadEvents(db).size(), 1u);
    // Renumbered, the rules follow; removed calendar users are named.
    Event moved = e;
    moved.Number = 7;
    ASSERT_TRUE(UpdateEvent(db, e.Number, moved).empty());
    EXPECT_EQ(ReadEvent(db, 7)->Dates, e.Dates);
    EXPECT_THAT(CalendarUsers(db, "uk"), ElementsAre(7));
    ASSERT_TRUE(DeleteEvent(db, 7));
    EXPECT_TRUE(ReadDateRules(db).empty());
    db.Close();
    EXPECT_EQ(test::ColumnNames(path, "Automation"), before);
}

TEST_F(DateStoreTest, AValueOfAnotherProgramFaultsWithItsPlace) {
    {
        Database db = engine.OpenDatabase(path);
        EnsureDateTables(db);
    }
    struct Case {
        const char* Sql;
        const char* Where;
    } cases[] = {
        {"INSERT INTO EventDates (Number) VALUES (40000)",
         "EventDates row 1 column Number 40000 is outside 1 to 32767"},
        {"INSERT INTO EventDates (Number, EveryWeeks) VALUES (1, 'two')",
         "EventDates row 1 column EveryWeeks is not a whole number"},
        {"INSERT INTO EventCalendars VALUES (1, 'maybe', 'uk')",
         "EventCalendars row 1 column Kind \"maybe\" is not except or only"},
        {"INSERT INTO EventDates (Number, EveryWeeks, WeekOf) VALUES (1, 4294967298, "
         "'2027-01-04')",
         "EventDates row 1 column EveryWeeks 4294967298 is outside"},
    };
    for (const Case& c : cases) {
        test::RunSql(path,
                     "DELETE FROM EventDates; DELETE FROM EventCalendars; " + std::string(c.Sql));
        Database db = engine.OpenDatabase(path);
        try {
            LoadDateBook(db);
            ADD_FAILURE() << c.Sql;
        } catch (const Fault& f) {
            EXPECT_THAT(f.Description, HasSubstr(c.Where));
        }
    }
}

}  // namespace
}  // namespace qtx::schedule
