// The preview of the two nights the clock changes (Europe/London) against the engine itself,
// run on the same kind of clock: an instant read in the host's time zone, ticked every half
// second through the night.
#include <gtest/gtest.h>

#include "eventdb/PreviewRuns.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/TimeZone.h"
#include "preview/Preview.h"
#include "preview/SimulatedClock.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

struct Night {
    const char* name;
    LocalDateTime midnight;  // the Sunday the clock changes
    int hoursOfClock;        // how long the engine's clock runs from midnight, in real hours
    std::vector<const char*> expected;  // lines the preview must print
};

void PrintTo(const Night& night, std::ostream* out) {
    *out << night.name;
}

class PreviewSummerTime : public testing::TestWithParam<Night> {};

TEST_P(PreviewSummerTime, ListsTheRunsTheEngineMakesThatNight) {
    const Night& night = GetParam();
    TimeZone london("Europe/London");
    EngineHarness h(night.midnight);
    sim::SwitcherSim sim(h.realLoop);
    std::vector<EventRow> rows;
    int number = 0;
    for (const char* time : {"00:30:00", "00:59:59", "01:00:00", "01:30:00", "01:59:59", "02:00:00",
                             "02:30:00", "03:00:00"}) {
        ++number;
        rows.push_back(With(Event(number, 6, time, std::string("at ") + time),
                            {{"scontrol", 1}, {"Salvo", number}}));
    }
    rows.push_back(With(Event(20, 6, "01:30:00", "once in the hour"),
                        {{"Active", 3}, {"scontrol", 1}, {"Salvo", 20}}));
    rows.push_back(With(Event(21, 6, "01:15:00", "skip in the hour"),
                        {{"Active", 2}, {"scontrol", 1}, {"Salvo", 21}}));
    h.WriteDatabase(rows, "127.0.0.1", sim.Listen());
    const std::string file = h.dir.File("QTXAutomation.mdb");

    const schedule::PreviewResult preview = schedule::RunPreview(file, {night.midnight, 1});
    std::string lines;
    const std::vector<Seen> previewed = Previewed(preview, &lines);

    LocalDateTime start = night.midnight;
    start.Millisecond = 5;
    schedule::SimulatedClock clock(schedule::SimulatedClock::InstantReaching(start));
    const int64_t first = clock.InstantMs();
    Engine engine(clock, h.loop, h.view, h.dir.Path());
    engine.Form_Load();
    ASSERT_TRUE(h.realLoop.RunUntil(
        [&] { return engine.Vars().SwitcherConnected && engine.Vars().MapReceived[0]; }, 3000));
    std::vector<Seen> ran;
    RecordRuns(engine, h.view, ran);
    for (int64_t half = 0; half < int64_t{night.hoursOfClock} * 7200; ++half) {
        clock.SetInstantMs(std::max(clock.InstantMs(), first + half * 500));
        engine.tmrTimer_Timer();
        h.realLoop.Pump();
        h.realLoop.Pump();
    }
    engine.Form_Terminate();

    EXPECT_EQ(Lines(previewed), Lines(ran));
    for (const char* expected : night.expected)
        EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
}

INSTANTIATE_TEST_SUITE_P(
    EuropeLondon, PreviewSummerTime,
    testing::Values(
        // 01:00 GMT becomes 02:00 BST: the hour's events run once, late, at the jump.
        Night{"Spring",
              {2027, 3, 28, 0, 0, 0, 0},
              4,
              {"2027-03-28 00:59:59 Sun  2  at 00:59:59  salvo 2\n",
               "2027-03-28 02:00:00 Sun  3  at 01:00:00  salvo 3  (late: due 01:00:00)\n",
               "2027-03-28 02:00:00 Sun  4  at 01:30:00  salvo 4  (late: due 01:30:00)\n",
               "2027-03-28 02:00:00 Sun  20  once in the hour  salvo 20  (late: due 01:30:00)"
               "  (one-time: deleted after this run)\n",
               "2027-03-28 02:00:00 Sun  6  at 02:00:00  salvo 6\n"}},
        // 02:00 BST becomes 01:00 GMT: the hour's events run on its first showing only.
        Night{"Autumn",
              {2027, 10, 31, 0, 0, 0, 0},
              5,
              {"2027-10-31 01:30:00 Sun  4  at 01:30:00  salvo 4\n",
               "2027-10-31 01:15:00 Sun  21  skip in the hour  salvo 21  (not run: Skipped)\n",
               "2027-10-31 02:00:00 Sun  6  at 02:00:00  salvo 6\n"}}),
    [](const testing::TestParamInfo<Night>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qtx::test
