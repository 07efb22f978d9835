// The engine under the clock double with date rules: an excluded occurrence does not run, says
// why, and consumes no marking; a run later than its latest is not started.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "database/DBEngine.h"
#include "fixtures/EngineHarness.h"
#include "schedule/DateStore.h"

namespace qtx {
namespace {

using test::EngineHarness;
using test::Event;
using test::With;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Monday 7 December 2026.
constexpr LocalDateTime kMonday{2026, 12, 7, 9, 0, 0, 5};

class DateRulesEngineTest : public ::testing::Test {
  protected:
    // Stores rules and calendar dates the way the event tool does.
    void Rules(int number, schedule::DateRules r) {
        Database db = engine.OpenDatabase(h.dir.Path() + "/QTXAutomation.mdb");
        schedule::WriteDateRules(db, number, r);
    }
    void Holiday(const char* date, const char* title) {
        Database db = engine.OpenDatabase(h.dir.Path() + "/QTXAutomation.mdb");
        schedule::AddCalendarDate(db, "uk", schedule::ParseDate(date).value(), title);
    }
    std::vector<std::string> Titles() const {
        std::vector<std::string> t;
        for (const auto& r : h.view.HistoryRows)
            t.push_back(r.Title);
        return t;
    }
    EngineHarness h{kMonday};
    DBEngine engine;
};

TEST_F(DateRulesEngineTest, AHolidayPassesAndTheSkipWaitsForTheNextRealOccurrence) {
    h.WriteDatabase(
        {With(Event(1, 1, "06:00:00", "Feed"), {{"Active", 2}}), Event(2, 1, "07:00:00", "Plain")});
    schedule::DateRules r;
    r.Except = {"uk"};
    Rules(1, r);
    Holiday("2026-12-08", "Founders Day");
    h.Start();
    h.MarkSwitcherUp();
    h.SetDate(2026, 12, 8);
    h.TickAt(6, 0, 0);
    h.TickAt(7, 0, 0);
    ASSERT_THAT(Titles(), ElementsAre("Feed - Not Executed", "Plain"));
    EXPECT_EQ(h.view.Outcomes[0].Reason, state::Refusal::Holiday);
    EXPECT_EQ(h.view.Outcomes[0].Detail, "Holiday Founders Day (uk)");
    EXPECT_THAT(h.ActivityMessages(), Contains("Feed not executed - Holiday Founders Day (uk)"));
    EXPECT_EQ(h.vars().EventTable[0].Active, 2);  // the skip is still there
    h.SetDate(2026, 12, 15);
    h.TickAt(6, 0, 0);
    EXPECT_EQ(h.view.Outcomes.back().Reason, state::Refusal::Skipped);
    h.TickAt(7, 0, 0);
    h.SetDate(2026, 12, 22);
    h.TickAt(6, 0, 0);
    EXPECT_EQ(Titles().back(), "Feed");
    EXPECT_TRUE(h.view.Outcomes.back().Ran);
}

TEST_F(DateRulesEngineTest, LateBeyondItsLatestIsNotStartedAndKeepsTheOneTimeMarking) {
    h.WriteDatabase({Event(1, 0, "09:00:10", "InTime"),
                     With(Event(2, 0, "09:00:20", "Late"), {{"Active", 3}}),
                     Event(3, 0, "09:00:30", "Unruled")});
    schedule::DateRules five;
    five.Latest = "00:00:05";
    Rules(1, five);
    Rules(2, five);
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 15, 999);  // 5.999 s late: still starts
    h.TickAt(9, 0, 26, 0);    // 6.000 s late: too late
    h.TickAt(9, 0, 50, 0);    // no latest: 20 s late runs as today
    ASSERT_THAT(Titles(), ElementsAre("InTime", "Late - Not Executed", "Unruled"));
    EXPECT_EQ(h.view.Outcomes[1].Reason, state::Refusal::TooLate);
    EXPECT_THAT(h.ActivityMessages(), Contains("Late not executed - Too late (due 09:00:20)"));
    EXPECT_EQ(h.vars().EventCount, 3);  // the one-time event was not deleted
}

TEST_F(DateRulesEngineTest, OutsideItsDatesPassesWithoutAnActivityLine) {
    h.WriteDatabase({Event(1, 0, "09:00:10", "Season")});
    schedule::DateRules r;
    r.Until = "2026-12-06";
    Rules(1, r);
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 10);
    ASSERT_THAT(Titles(), ElementsAre("Season - Not Executed"));
    EXPECT_EQ(h.view.Outcomes[0].Reason, state::Refusal::OutsideDates);
    for (const std::string& line : h.ActivityMessages())
        EXPECT_THAT(line, Not(HasSubstr("Season")));
}

TEST_F(DateRulesEngineTest, UnreadableRulesAreReportedAndTheEventsRunAsWithoutThem) {
    h.WriteDatabase({Event(1, 0, "09:00:10", "Feed")});
    {
        Database db = engine.OpenDatabase(h.dir.Path() + "/QTXAutomation.mdb");
        schedule::EnsureDateTables(db);
    }
    h.Sql("INSERT INTO EventDates (Number, FromDate) VALUES (1, '2026-02-30')");
    h.Start();
    h.MarkSwitcherUp();
    EXPECT_THAT(h.ErrorLocations(), Contains("Error Reading Date Rules"));
    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(), ElementsAre("Feed"));
}

}  // namespace
}  // namespace qtx
