// The preview against the engine itself: one file, a week, the preview's runs and the runs the
// engine makes against the switcher simulator with the clock double ticking every second.
#include <gtest/gtest.h>

#include "eventdb/PreviewRuns.h"
#include "fixtures/EngineHarness.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

constexpr LocalDateTime kMondayMidnight{2026, 12, 7, 0, 0, 0, 0};

std::vector<EventRow> AWeek() {
    std::vector<EventRow> rows;
    auto add = [&](int number, std::initializer_list<int> days, const std::string& time,
                   const std::string& title,
                   std::initializer_list<std::pair<const std::string, SqlValue>> more) {
        for (int d : days)
            rows.push_back(With(Event(number, d, time, title), more));
    };
    add(1, {0, 1, 2, 3, 4}, "06:00:00", "weekday", {{"scontrol", 1}, {"Salvo", 1}});
    add(2, {5, 6}, "12:00:00", "weekend", {{"rcontrol", 1}, {"Relay", 2}});
    add(3, {1, 3}, "09:00:00", "skip", {{"Active", 2}, {"scontrol", 1}, {"Salvo", 3}});
    add(4, {2}, "10:00:00", "once",
        {{"Active", 3}, {"xcontrol", 1}, {"SourceChan", 2}, {"DestChan", 3}});
    add(5, {3, 4}, "11:00:00", "once twice", {{"Active", 3}, {"scontrol", 1}, {"Salvo", 5}});
    add(6, {0}, "07:00:00", "inactive", {{"Active", 0}, {"scontrol", 1}, {"Salvo", 6}});
    add(7, {1}, "24:00:00", "no time", {{"scontrol", 1}, {"Salvo", 7}});
    add(8, {7}, "08:00:00", "no day", {{"scontrol", 1}, {"Salvo", 8}});
    add(9, {4}, "06:00:00", "same second", {{"rcontrol", 3}, {"Relay", 9}});
    add(10, {2}, "13:00:00", "if on",
        {{"Condition", 1}, {"ReqSource", 2}, {"ReqDest", 3}, {"scontrol", 1}, {"Salvo", 10}});
    add(11, {6}, "23:59:59", "last", {{"scontrol", 1}, {"Salvo", 11}});
    add(12, {0}, "14:00:00", "bad take", {{"xcontrol", 1}, {"SourceChan", 0}, {"DestChan", 1}});
    // A marking refuses before a condition is looked at: not run for it, not "depends".
    add(13, {0}, "15:00:00", "idle if on",
        {{"Active", 0}, {"Condition", 1}, {"ReqSource", 2}, {"ReqDest", 3}});
    add(14, {0}, "16:00:00", "skip if on",
        {{"Active", 2}, {"Condition", 1}, {"ReqSource", 2}, {"ReqDest", 3}});
    return rows;
}

TEST(Preview, ListsExactlyTheRunsTheEngineMakesInAWeek) {
    EngineHarness h(LocalDateTime{2026, 12, 7, 0, 0, 0, 5});
    sim::SwitcherSim sim(h.realLoop);
    h.WriteDatabase(AWeek(), "127.0.0.1", sim.Listen());
    const std::string file = h.dir.File("QTXAutomation.mdb");
    const std::string before = ReadWholeFile(file);

    const schedule::PreviewResult preview = schedule::RunPreview(file, {kMondayMidnight, 7});
    EXPECT_EQ(ReadWholeFile(file), before);  // markings land in the preview's own copy
    std::string lines;
    const std::vector<Seen> previewed = Previewed(preview, &lines);

    h.Start();
    ASSERT_TRUE(h.realLoop.RunUntil(
        [&] { return h.vars().SwitcherConnected && h.vars().MapReceived[0]; }, 3000));
    std::vector<Seen> ran;
    RecordRuns(*h.engine, h.view, ran);
    const int64_t start = ToEpochMs(kMondayMidnight);
    for (int64_t s = 0; s < 7 * 86400; ++s) {
        h.clock.Set(FromEpochMs(start + s * 1000 + 5));
        h.engine->tmrTimer_Timer();
        h.realLoop.Pump();
        h.realLoop.Pump();
    }

    EXPECT_EQ(Lines(previewed), Lines(ran));
    // The run lines speak of the outcomes the engine gave.
    for (const char* expected :
         {"2026-12-07 06:00:00 Mon  1  weekday  salvo 1\n",
          "2026-12-07 07:00:00 Mon  6  inactive  salvo 6  (not run: Inactive)\n",
          "2026-12-07 14:00:00 Mon  12  bad take  take 0->1  (not run: Invalid Crosspoint)\n",
          "2026-12-07 15:00:00 Mon  13  idle if on  no action  (not run: Inactive)\n",
          "2026-12-07 16:00:00 Mon  14  skip if on  no action  (not run: Skipped)\n",
          "2026-12-08 09:00:00 Tue  3  skip  salvo 3  (not run: Skipped)\n",
          "2026-12-09 10:00:00 Wed  4  once  take 2->3  (one-time: deleted after this run)\n",
          "2026-12-09 13:00:00 Wed  10  if on  salvo 10  (depends on the crosspoint)\n",
          "2026-12-10 09:00:00 Thu  3  skip  salvo 3\n",
          "2026-12-11 06:00:00 Fri  9  same second  relay pulse 9\n",
          "2026-12-13 23:59:59 Sun  11  last  salvo 11\n"})
        EXPECT_NE(lines.find(expected), std::string::npos) << expected << lines;
    EXPECT_EQ(preview.Notes, (std::vector<std::string>{"event 7 \"no time\": no time",
                                                       "event 8 \"no day\": no day"}));
}

}  // namespace
}  // namespace qtx::test
