// The executor and the tick with the clock double: due rule, chain, refusals, history rows,
// skip and one-time markings, and the database watch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "database/DiskWork.h"
#include "fixtures/EngineHarness.h"

namespace qtx::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

class ExecutionTest : public ::testing::Test {
  protected:
    EngineHarness h{kMonday};
};

TEST_F(ExecutionTest, AnEventWhoseSecondWasNotSeenRunsLateOnceEvenAsTheFirstRecord) {
    h.WriteDatabase({Event(1, 0, "09:00:02", "first"), Event(2, 0, "09:00:04", "second")});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 3);  // the engine was busy through 09:00:02: the first record runs late
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("first"));
    h.TickAt(9, 0, 7);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("first", "second"));
    // The table wrapped: the first record now waits for next Monday, not for a later tick.
    h.TickAt(9, 0, 8);
    h.TickAt(23, 59, 59);
    EXPECT_EQ(h.view.HistoryRows.size(), 2u);
    EXPECT_EQ(h.view.HistoryColor, 0);
}

TEST_F(ExecutionTest, EventsOfOneSecondChainInTableOrderInOneTick) {
    h.WriteDatabase({Event(1, 0, "09:00:00", "zero"), Event(2, 0, "09:00:10", "a"),
                     Event(3, 0, "09:00:10", "b"), Event(4, 0, "09:00:10", "c"),
                     Event(5, 1, "08:00:00", "tuesday")});
    h.clock.Set({2026, 12, 7, 9, 0, 5, 0});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 10);  // "zero", due before start-up, does not run
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("a", "b", "c"));
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Tuesday", "08:00:00", "tuesday"}));
    EXPECT_EQ(h.clock.WaitCount(), 0);  // the advance moved on: no same-second wait
}

TEST_F(ExecutionTest, LoneEventRunsOnceInItsSecondWithoutHoldingTheThread) {
    h.WriteDatabase({Event(1, 0, "09:00:01", "only")});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 1, 5);
    h.TickAt(9, 0, 1, 505);
    h.TickAt(9, 0, 2, 5);
    EXPECT_EQ(h.view.HistoryRows.size(), 1u);
    EXPECT_EQ(h.clock.WaitCount(), 0);
}

TEST_F(ExecutionTest, LastEventOfTheWeekWrapsToTheFirstAndTheChainStopsThere) {
    h.SetDate(2026, 12, 13);  // Sunday
    h.WriteDatabase({Event(1, 0, "00:00:00", "monday"), Event(2, 6, "23:59:59", "sunday")});
    h.clock.Set({2026, 12, 13, 23, 0, 0, 0});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(23, 59, 59);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("sunday"));
    EXPECT_EQ(h.vars().NextEventIndex, 0);
    h.SetDate(2026, 12, 14);  // Monday: the first record runs in its exact second
    h.TickAt(0, 0, 0);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("sunday", "monday"));
}

// Each refusal writes its reason and a red row; the outcome names the check that refused the
// event: the marking comes before the link and the condition, even where the activity line
// speaks of those, and one bad action refuses only itself.
TEST_F(ExecutionTest, OutcomesCarryTheFirstCheckThatRefused) {
    auto cond = [](EventRow row, int active, int kind = 1, int dest = 4) {
        return With(std::move(row),
                    {{"Active", active}, {"Condition", kind}, {"ReqSource", 2}, {"ReqDest", dest}});
    };
    h.WriteDatabase({
        Event(1, 0, "09:00:01", "down"),
        With(Event(2, 0, "09:00:01", "idle down"), {{"Active", 0}}),
        cond(Event(3, 0, "09:00:02", "idle cond"), 0),
        cond(Event(4, 0, "09:00:03", "skip cond"), 2),
        cond(Event(5, 0, "09:00:04", "cond"), 1),
        cond(Event(6, 0, "09:00:05", "cond2"), 1, 2, 0),
        With(Event(7, 0, "09:00:06", "badxp"),
             {{"xcontrol", 1}, {"SourceChan", 3}, {"DestChan", 0}, {"scontrol", 1}, {"Salvo", 1}}),
        With(Event(8, 0, "09:00:07", "two bad"),
             {{"xcontrol", 1}, {"SourceChan", 0}, {"DestChan", 1}, {"rcontrol", 1}, {"Relay", 0}}),
        With(Event(9, 0, "09:00:08", "badgain"), {{"vcontrol", 1}, {"VChan", 0}}),
        With(Event(10, 0, "09:00:09", "fine"), {{"scontrol", 1}, {"Salvo", 1}}),
        Event(11, 0, "09:00:10", "noswitcher"),
    });
    h.Start();
    h.TickAt(9, 0, 1);  // server not connected
    h.MarkSwitcherUp();
    for (int s = 2; s <= 9; ++s)
        h.TickAt(9, 0, s);
    h.vars().SwitcherConnected = false;
    h.TickAt(9, 0, 10);
    using state::Refusal;
    std::vector<std::pair<std::string, Refusal>> seen;
    for (const EventOutcome& o : h.view.Outcomes)
        seen.emplace_back(o.Title, o.Ran ? Refusal::None : o.Reason);
    EXPECT_THAT(seen, ElementsAre(std::pair{"down", Refusal::ServerNotConnected},
                                  std::pair{"idle down", Refusal::Inactive},
                                  std::pair{"idle cond", Refusal::Inactive},
                                  std::pair{"skip cond", Refusal::Skipped},
                                  std::pair{"cond", Refusal::CrosspointInactive},
                                  std::pair{"cond2", Refusal::CrosspointActive},
                                  std::pair{"badxp", Refusal::InvalidCrosspoint},
                                  std::pair{"two bad", Refusal::InvalidCrosspoint},
                                  std::pair{"badgain", Refusal::InvalidChannel},
                                  std::pair{"fine", Refusal::None},
                                  std::pair{"noswitcher", Refusal::SwitcherNotConnected}));
    EXPECT_TRUE(h.view.Outcomes.at(9).Ran);
    EXPECT_THAT(
        h.ActivityMessages(),
        ElementsAre(
            "down not executed - Server not connected",
            "idle down not executed - Server not connected",
            "idle cond not executed - Crosspoint inactive",
            "skip cond not executed - Crosspoint inactive",
            "cond not executed - Crosspoint inactive", "cond2 not executed - Crosspoint active",
            "badxp not executed - Invalid Crosspoint", "Send Execute Salvo Number 1",
            "two bad not executed - Invalid Crosspoint", "two bad not executed - Invalid Relay",
            "badgain not executed - Invalid Channel", "Send Execute Salvo Number 1",
            "noswitcher not executed - Switcher not connected"));
    EXPECT_THAT(
        Titles(h.view.HistoryRows),
        ElementsAre("down - Not Executed", "idle down - Inactive", "idle cond - Inactive",
                    "skip cond - Not Executed", "cond - Not Executed", "cond2 - Not Executed",
                    "badxp - Not Executed", "two bad - Not Executed", "badgain - Not Executed",
                    "fine", "noswitcher - Not Executed"));
    EXPECT_EQ(h.view.HistoryColor, 255);
}

TEST_F(ExecutionTest, CrosspointConditionsFollowTheMapWithinItsBound) {
    h.WriteDatabase({
        With(Event(1, 0, "09:00:01", "on"), {{"Condition", 1}, {"ReqSource", 2}, {"ReqDest", 4}}),
        With(Event(2, 0, "09:00:02", "beyond"),
             {{"Condition", 1}, {"ReqSource", 2}, {"ReqDest", 5}}),
        With(Event(3, 0, "09:00:03", "off"), {{"Condition", 2}, {"ReqSource", 1}, {"ReqDest", 4}}),
        With(Event(4, 0, "09:00:04", "notoff"),
             {{"Condition", 2}, {"ReqSource", 2}, {"ReqDest", 4}}),
        With(Event(5, 0, "09:00:05", "negative"),
             {{"Condition", 1}, {"ReqSource", 2}, {"ReqDest", -3}}),
    });
    h.Start();
    h.MarkSwitcherUp();
    // A map of outputs 0 .. 3 as received on link 0: output 3 is fed by source 1.
    h.vars().CrosspointMap.assign(4, CrosspointEntry{});
    h.vars().CrosspointMap[3] = CrosspointEntry{{1}, 1, {0}};
    h.vars().MapReceived[0] = true;
    for (int s = 1; s <= 5; ++s)
        h.TickAt(9, 0, s);
    EXPECT_THAT(Titles(h.view.HistoryRows),
                ElementsAre("on", "beyond - Not Executed", "off", "notoff - Not Executed",
                            "negative - Not Executed"));
    // The only faults are the polls of the third tick on links that have no socket behind them.
    for (const std::string& where : h.ErrorLocations())
        EXPECT_EQ(where, "Error sending to switcher");
}

TEST_F(ExecutionTest, SkipIsConsumedOnEveryDayOfTheEventWithoutAReload) {
    h.WriteDatabase({With(Event(7, 0, "09:00:01", "skipme"), {{"Active", 2}}),
                     With(Event(7, 3, "09:00:01", "skipme"), {{"Active", 2}}),
                     Event(8, 4, "10:00:00", "other")});
    h.Start();
    h.MarkSwitcherUp();
    const int loads = h.view.PanelWrites[1];
    h.TickAt(9, 0, 1);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("skipme - Not Executed"));
    EXPECT_EQ(h.view.HistoryColor, 255);
    EXPECT_EQ(h.vars().EventTable[0].Active, 1);
    EXPECT_EQ(h.vars().EventTable[1].Active, 1);
    for (int s = 2; s <= 5; ++s)
        h.TickAt(9, 0, s);  // the watch runs: no reload of our own change
    EXPECT_EQ(h.view.PanelWrites[1], loads);
    h.Start();  // a fresh load reads the database: both rows are active now
    EXPECT_EQ(h.vars().EventTable[0].Active, 1);
    EXPECT_EQ(h.vars().EventTable[1].Active, 1);
}

TEST_F(ExecutionTest, OneTimeEventIsDeletedAndItsSuccessorComesNext) {
    h.WriteDatabase({Event(1, 0, "09:00:00", "a"),
                     With(Event(2, 0, "09:00:02", "once"), {{"Active", 3}}),
                     With(Event(2, 2, "09:00:02", "once"), {{"Active", 3}}),
                     Event(3, 4, "12:00:00", "friday")});
    h.clock.Set({2026, 12, 7, 9, 0, 1, 500});  // "a" has passed: the one-time event is next
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 2);  // index 1 (the one-time event) runs; index 0 has passed
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("once"));
    EXPECT_EQ(h.vars().EventCount, 3);
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Wedensday", "09:00:02", "once"}));
    h.Start();  // both rows of the event are gone from the file
    EXPECT_EQ(h.vars().EventCount, 2);
}

TEST_F(ExecutionTest, DeletingTheOnlyEventLeavesNoEvents) {
    h.WriteDatabase({With(Event(2, 0, "09:00:02", "once"), {{"Active", 3}})});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 2);
    EXPECT_EQ(h.vars().EventCount, 0);
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{" ", " ", "No Events"}));
    h.TickAt(9, 0, 3);
    EXPECT_TRUE(h.ErrorLines().empty());
}

TEST_F(ExecutionTest, ReloadInTheSecondOfAnExecutionDoesNotRunItAgain) {
    h.WriteDatabase({Event(1, 0, "08:00:00", "early"), Event(2, 0, "09:00:02", "now"),
                     Event(3, 1, "08:00:00", "tuesday")});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 1, 5);
    h.TickAt(9, 0, 1, 505);
    h.TickAt(9, 0, 2, 5);  // third tick: runs "now"; the watch finds nothing changed
    h.Sql("UPDATE Automation SET Title = 'tuesday!' WHERE Number = 3");
    h.TickAt(9, 0, 2, 505);
    h.TickAt(9, 0, 2, 700);
    h.TickAt(9, 0, 2, 900);  // the watch reloads in the same second
    EXPECT_EQ(h.vars().EventTable[2].Title, "tuesday!");
    h.TickAt(9, 0, 3);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("now"));
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Tuesday", "08:00:00", "tuesday!"}));
}

// (The watch's reload of an outside edit is the test of a reload in the second of a run.)
TEST_F(ExecutionTest, DatabaseWatchFollowsDeletionAndRestore) {
    h.WriteDatabase({Event(1, 0, "10:00:00", "ten"), Event(2, 0, "09:30:00", "half")});
    h.Start();
    const std::string db = h.Db();
    std::filesystem::rename(db, h.dir.File("aside"));
    for (int i = 0; i < 3; ++i)
        h.TickAt(9, 0, 2, 5 + 200 * i);
    EXPECT_EQ(h.view.Panels[1], "0 Total Events");
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{" ", " ", "No Events"}));
    h.MarkSwitcherUp();
    h.TickAt(9, 30, 0);
    EXPECT_TRUE(h.view.HistoryRows.empty());  // nothing runs while the file is gone

    std::filesystem::rename(h.dir.File("aside"), db);
    for (int i = 0; i < 3; ++i)
        h.TickAt(9, 30, 1, 5 + 200 * i);
    EXPECT_EQ(h.view.Panels[1], "2 Total Events");
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Monday", "10:00:00", "ten"}));
}

TEST_F(ExecutionTest, UnreadableTimeIsReportedOnceAndTheRecordPassedOver) {
    h.WriteDatabase({Event(1, 0, "09:00:02", "early"), Event(7, 0, "8.00.00", "bad"),
                     Event(2, 0, "10:00:00", "good")});
    h.Start();
    h.MarkSwitcherUp();
    ASSERT_THAT(h.ErrorLocations(), ElementsAre("Error Reading Automation DB"));
    EXPECT_EQ(h.ErrorLines().back().substr(60),
              "Error # 13 - Type mismatch: event 7 \"bad\" has the time \"8.00.00\", which is "
              "not a time of day; it will not run");
    h.TickAt(9, 0, 2);
    h.TickAt(9, 0, 2, 505);
    h.TickAt(10, 0, 0);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("early", "good"));
    EXPECT_THAT(h.ErrorLocations(), Not(Contains("Error Determining Next Event")));
    EXPECT_THAT(h.ErrorLocations(), Contains("Error Reading Automation DB").Times(1));
    EXPECT_EQ(h.view.Panels[3], "10:00:00");
}

TEST_F(ExecutionTest, ExitQuestionAndSetup) {
    h.WriteDatabase({Event(1, 0, "10:00:00", "ten"), Event(2, 1, "10:00:00", "tue")});
    h.Start();
    h.view.Answers = {MessageBoxAnswer::Cancel, MessageBoxAnswer::Ok};
    EXPECT_TRUE(h.engine->Form_QueryUnload());
    EXPECT_FALSE(h.engine->Form_QueryUnload());
    EXPECT_EQ(h.view.MessageBoxes.at(0).Text,
              "Do You Wish To Exit?\rScheduled Events Will Not Run!");
    EXPECT_EQ(h.view.MessageBoxes.at(0).Title, " Confirm Exit");

    const int loads = h.view.PanelWrites[1];
    EXPECT_TRUE(h.engine->ApplySetup(true, ""));
    EXPECT_EQ(h.view.PanelWrites[1], loads);  // same folder: no reload
    const std::string copyDir = h.dir.Path() + "view";
    std::filesystem::create_directory(copyDir);
    h.TickAt(9, 0, 1);
    EXPECT_TRUE(h.engine->ApplySetup(true, copyDir));
    EXPECT_EQ(h.view.PanelWrites[1], loads + 1);
    h.engine->Disk().FinishDiskWork();  // the copy is written on the task-view thread
    EXPECT_TRUE(std::filesystem::exists(copyDir + "/QTXAutomation.mdb"));
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Monday", "10:00:00", "ten"}));
    h.Start();
    EXPECT_TRUE(h.vars().StartMinimized);
    EXPECT_EQ(h.vars().TaskViewDir, copyDir);

    std::filesystem::remove(h.Db());
    EXPECT_FALSE(h.engine->ApplySetup(false, copyDir));
    EXPECT_EQ(h.ErrorLocations().back(), "Error Updating DB Info");
}

}  // namespace
}  // namespace qtx::test
