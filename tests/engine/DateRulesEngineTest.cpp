// The engine under the clock double with date rules: an excluded occurrence does not run, says
// why, and consumes no marking; a run later than its latest is not started.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "database/DBEngine.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/Loopback.h"
#include "schedule/DateStore.h"

namespace qtx::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

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
    std::vector<std::string> Titles() const { return test::Titles(h.view.HistoryRows); }
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

TEST_F(DateRulesEngineTest, AnOccurrenceRunAfterMidnightIsJudgedOnItsOwnDate) {
    h.WriteDatabase({Event(1, 6, "23:59:59", "Last night"), Event(2, 6, "23:59:59", "Not yet"),
                     Event(3, 0, "00:00:00", "First day")});
    schedule::DateRules lastNight, notYet;
    lastNight.Until = "2026-12-13";
    notYet.From = "2026-12-14";
    Rules(1, lastNight);
    Rules(2, notYet);
    Rules(3, notYet);
    h.Start();
    h.MarkSwitcherUp();
    h.SetDate(2026, 12, 13);
    h.TickAt(23, 59, 58);
    h.SetDate(2026, 12, 14);  // busy over midnight: the Sunday's records run on Monday, late
    h.TickAt(0, 0, 2);
    ASSERT_THAT(Titles(),
                UnorderedElementsAre("Last night", "Not yet - Not Executed", "First day"));
    EXPECT_EQ(Titles().back(), "First day");
}

TEST_F(DateRulesEngineTest, LatestAgainstABusyChainAndAStepForward) {
    // Six IP messages in one second keep the tick busy for 1.2 s (two 100 ms settles each):
    // the records after them in the chain start over a second after their second.
    LoopbackListener listener;
    std::vector<EventRow> rows;
    for (int n = 1; n <= 6; ++n)
        rows.push_back(With(Event(n, 0, "09:00:10", "Message " + std::to_string(n)),
                            {{"mcontrol", 1},
                             {"mtype", 1},
                             {"Message", "hello"},
                             {"MIPAddress", "127.0.0.1"},
                             {"MIPPort", listener.Port()}}));
    rows.push_back(With(Event(7, 0, "09:00:10", "Own second"), {{"Active", 2}}));
    rows.push_back(Event(8, 0, "09:00:10", "Two seconds"));
    // Then the clock steps from about 09:00:11 to 13:00:00.
    rows.push_back(Event(9, 0, "10:00:00", "Three hours"));
    rows.push_back(With(Event(10, 0, "11:00:00", "Under two hours"), {{"Active", 3}}));
    rows.push_back(Event(11, 0, "12:00:00", "Unruled"));
    h.WriteDatabase(rows);
    schedule::DateRules own, two, three, under;
    own.Latest = "00:00:00";
    two.Latest = "00:00:02";
    three.Latest = "03:00:00";
    under.Latest = "01:59:59";
    Rules(7, own);
    Rules(8, two);
    Rules(9, three);
    Rules(10, under);
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 10);
    h.TickAt(13, 0, 0);
    const std::vector<std::string> titles = Titles();
    ASSERT_EQ(titles.size(), 11u);
    EXPECT_THAT(std::vector<std::string>(titles.begin() + 6, titles.end()),
                ElementsAre("Own second - Not Executed", "Two seconds", "Three hours",
                            "Under two hours - Not Executed", "Unruled"));
    EXPECT_THAT(h.ActivityMessages(),
                Contains("Own second not executed - Too late (due 09:00:10)"));
    EXPECT_THAT(h.ActivityMessages(),
                Contains("Under two hours not executed - Too late (due 11:00:00)"));
    EXPECT_EQ(h.Record(7)->Active, 2);   // the skip waits for a run that starts
    EXPECT_EQ(h.Record(10)->Active, 3);  // and so does the one-time event
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
}  // namespace qtx::test
