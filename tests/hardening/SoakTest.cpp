// Soak: the engine with the real clock and its own aligned tick against the switcher simulator
// (running in a thread of its own, as a separate peer), one event per second, with outside
// edits of the database and link faults injected along the way. Afterwards every event was
// either received exactly once or refused with its reason in the activity log, and none twice.
//
// Length: QTX_SOAK_SECONDS when set; otherwise 120 s under CI=true and 20 s for a developer's
// run. The 10-minute run by hand: QTX_SOAK_SECONDS=600 ./test_hardening --gtest_filter=Soak.*
// With QTX_SOAK_CLOCK_STEP=1 (root, and nothing else running on the machine: it moves the
// machine's clock) the wall clock is also stepped back 5 s a third of the way through and put
// right again at two thirds: the repeated seconds run nothing twice, the skipped ones run late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <map>
#include <regex>
#include <thread>

#include "common/Format.h"
#include "hardening/Hardening.h"
#include "switcher/ByteManipulation.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

int64_t Ns(clockid_t c) {
    timespec t{};
    ::clock_gettime(c, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Steps the wall clock back 5 s after a third of the run and puts it right after two thirds
// (and at the end in any case), from a thread of its own timed on the monotonic clock.
class ClockStepper {
  public:
    explicit ClockStepper(int seconds) {
        const char* on = std::getenv("QTX_SOAK_CLOCK_STEP");
        if (on == nullptr || std::string(on) != "1")
            return;
        thread_ = std::thread([this, seconds] {
            const auto wait = [this](int64_t until) {
                while (!stop_ && Ns(CLOCK_MONOTONIC) < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            };
            wait(mono_ + seconds / 3 * 1000000000LL + 250000000);
            if (!stop_)
                SetTrue(-5);
            wait(mono_ + 2 * seconds / 3 * 1000000000LL + 250000000);
            SetTrue(0);
            steps = 2;
        });
    }
    ~ClockStepper() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int steps = 0;

  private:
    void SetTrue(int offsetSeconds) {
        const int64_t ns = real_ + (Ns(CLOCK_MONOTONIC) - mono_) + offsetSeconds * 1000000000LL;
        const timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::clock_settime(CLOCK_REALTIME, &t);
    }
    int64_t real_ = Ns(CLOCK_REALTIME), mono_ = Ns(CLOCK_MONOTONIC);
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int SoakSeconds() {
    if (const char* s = std::getenv("QTX_SOAK_SECONDS"))
        return std::max(5, std::atoi(s));
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true" ? 120 : 20;
}

TEST(Soak, EveryEventRunsOnceOrIsRefusedWithItsReasonThroughReloadsAndLinkFaults) {
    const int seconds = SoakSeconds();
    SystemClock clock;
    const LocalDateTime now = clock.Now();
    const int first = now.SecondsOfDay() + 3;
    if (first + seconds + 10 >= 86400)
        GTEST_SKIP() << "too close to midnight for a run within one day";

    // The simulator's side runs its own loop in its own thread, dropping connections, refusing
    // new ones for a second and going offline on a schedule, at half seconds, away from the
    // events' instants (a frame written just before the peer closes is lost in any TCP link).
    PollEventLoop simLoop;
    std::promise<int> portPromise;
    std::vector<sim::ReceivedFrame> frames;
    int drops = 0, offlines = 0, floods = 0;
    std::thread simThread([&] {
        sim::SwitcherSim sim(simLoop);
        portPromise.set_value(sim.Listen());
        int tick = 0;
        simLoop.AddTimer(1000, 500, [&] {
            ++tick;
            if (tick % 7 == 3)  // connections dropped, and none taken for a second
                sim.DropConnections(), sim.SetAccepting(false), ++drops;
            else if (tick % 7 == 4)
                sim.SetAccepting(true);
            if (tick % 11 == 6)  // the switcher offline for two seconds
                sim.GoOffline(), ++offlines;
            if (tick % 13 == 9)  // a burst of bytes out of step
                sim.SendGarbage(256 * 1024, static_cast<uint32_t>(tick)), ++floods;
            else if (tick % 11 == 8 && !sim.Online())
                sim.GoOnline();
        });
        simLoop.Run();
        frames = sim.Frames();
    });
    const int port = portPromise.get_future().get();

    EngineHarness h{now};
    std::vector<EventRow> rows;
    for (int n = 1; n <= seconds; ++n)
        rows.push_back(
            With(Event(n, now.MondayIndex(), FormatHhMmSs(first + n - 1), "e" + std::to_string(n)),
                 {{"scontrol", 1}, {"Salvo", n}}));
    rows.push_back(Event(seconds + 1, (now.MondayIndex() + 1) % 7, "12:00:00", "tomorrow"));
    h.WriteDatabase(rows, "127.0.0.1", port);

    Engine engine(clock, h.realLoop, h.view, h.dir.Path());
    engine.Form_Load();
    // Outside edits every 7 s (at .700): each one makes the engine reload the whole table.
    int edits = 0, editTicks = 0;
    const auto editTimer = h.realLoop.AddTimer(1000, 700, [&] {
        if (++editTicks % 7 == 0)
            h.Sql("UPDATE Automation SET Future1 = '" + std::to_string(++edits) + "'");
    });
    const int loadsBefore = h.view.PanelWrites[1];
    ClockStepper stepper(seconds);
    h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + seconds + 1; },
                        (seconds + 8) * 1000);
    h.realLoop.RunFor(300);
    const int steps = stepper.steps;
    h.realLoop.DeleteTimer(editTimer);
    engine.Form_Terminate();
    simLoop.Stop();
    simThread.join();

    // Frames per salvo number, and the refusals the activity log gives with their reason.
    std::map<int, int> received, refusals;
    for (const auto& f : frames)
        if (static_cast<uint8_t>(f.Bytes[0]) == 0xEA)
            ++received[WordAt(f.Bytes, 2) + 1];
    const std::regex refusal("e(\\d+) not executed - (Server|Switcher) not connected");
    for (const std::string& line : h.ActivityMessages())
        if (std::smatch m; std::regex_match(line, m, refusal))
            ++refusals[std::stoi(m[1])];
    int ran = 0, refused = 0;
    for (int n = 1; n <= seconds; ++n) {
        EXPECT_EQ(received[n] + refusals[n], 1) << "event " << n << ": received " << received[n]
                                                << " times, refused " << refusals[n] << " times";
        ran += received[n] == 1;
        refused += refusals[n] == 1;
    }
    EXPECT_EQ(h.view.HistoryRows.size(), static_cast<size_t>(seconds));
    EXPECT_GT(h.view.PanelWrites[1], loadsBefore);  // the reloads happened
    EXPECT_GT(ran, seconds / 2);
    // A poll written just as the simulator drops the connection may fail; nothing else may.
    const auto errors = h.ErrorLocations();
    EXPECT_THAT(errors, ::testing::Each(std::string("Error sending to switcher")));
    const auto sendErrors = static_cast<int>(errors.size());
    std::printf(
        "soak: %d s, %d events: %d ran once, %d refused with their reason; %d reloads, "
        "%d connection drops, %d offline spells, %d floods, %d clock steps, %d failed link "
        "writes\n",
        seconds, seconds, ran, refused, edits, drops, offlines, floods, steps, sendErrors);
}

}  // namespace
}  // namespace qtx::test
