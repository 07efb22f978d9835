// Lateness of an event's first frame with confirmation on, beside confirmation off and beside the
// floor: a plain sender that sleeps to each second on an absolute wall-clock timer and writes one
// frame. One take a second; the simulator (a thread of its own, stamping each frame as it
// arrives) ignores every take, so each confirmation stays open for its whole wait (the map asked
// for, no report) while the next events run; then again with three webhook routes that accept and
// never answer, so each take not confirmed raises an alarm that waits on all three. Takes about
// 65 s; not part of the test suite.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>

#include "SimThread.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/WebhookReceiver.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/WallClock.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/sim/SwitcherSim.h"

namespace {

using qtx::test::EngineHarness;
using qtx::test::Event;

constexpr int kEvents = 15;
constexpr int kFloorSends = 10;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

using qtx::bench::SimThread;

// The floor: sleeps to each whole second on an absolute timer and writes a take at once (source
// 60 + i). Milliseconds from each second to the frame's arrival.
std::vector<double> Floor() {
    SimThread sim(qtx::bench::IgnoringTakes());
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(sim.Port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t first = now.tv_sec + 2;
    for (int i = 0; i < kFloorSends; ++i) {
        const timespec at{static_cast<time_t>(first + i), 0};
        ::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr);
        const std::string f = qtx::frames::CrosspointFrame(qtx::frames::CmdTake, i, 0);
        [[maybe_unused]] ssize_t n = ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
    }
    ::usleep(200000);
    ::close(fd);
    std::vector<double> late;
    for (const auto& f : sim.Stop())
        if (static_cast<uint8_t>(f.Bytes[0]) == 0xFE) {
            const int i = qtx::WordAt(f.Bytes, 3);
            late.push_back(static_cast<double>(f.TimeUs - (first + i) * 1000000) / 1000.0);
        }
    return late;
}

// The engine with one take a second (source i + 9 to output i % 8 + 1, never what the output
// carries already, so no take is confirmed) and the given wait; with
// stalledRoutes, that many webhook routes to receivers that accept and never answer, so each
// take not confirmed raises an alarm that waits on every one of them.
std::vector<double> Engine(int confirmWithin, size_t* confirmations, int stalledRoutes = 0) {
    SimThread sim(qtx::bench::IgnoringTakes());
    qtx::SystemClock clock;
    const qtx::LocalDateTime now = clock.Now();
    const int first = now.SecondsOfDay() + 3;
    if (first + kEvents + 5 >= 86400) {
        sim.Stop();
        return {};
    }
    EngineHarness h{now};
    std::vector<qtx::test::EventRow> rows;
    for (int i = 0; i < kEvents; ++i) {
        auto row = Event(i + 1, now.MondayIndex(), qtx::FormatHhMmSs(first + i), "e");
        row["xcontrol"] = 1;
        row["SourceChan"] = i + 9;
        row["DestChan"] = i % 8 + 1;
        rows.push_back(row);
    }
    rows.push_back(Event(kEvents + 1, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
    h.WriteDatabase(rows, "127.0.0.1", sim.Port());
    h.Sql(
        "CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT);"
        "INSERT INTO Settings VALUES ('ConfirmWithin', '" +
        std::to_string(confirmWithin) + "')");
    std::vector<std::unique_ptr<qtx::test::WebhookReceiver>> stalled;
    if (stalledRoutes > 0) {
        qtx::DBEngine dbe;
        qtx::Database db = dbe.OpenDatabase(h.dir.File("QTXAutomation.mdb"));
        for (int i = 0; i < stalledRoutes; ++i) {
            stalled.push_back(std::make_unique<qtx::test::WebhookReceiver>(
                qtx::test::WebhookReceiver::Mode::Stall));
            qtx::alarms::AlarmRoute r;
            r.Target = stalled.back()->Url();
            qtx::alarms::AddRoute(db, r);
        }
        db.Close();
    }
    qtx::Engine engine(clock, h.realLoop, h.view, h.dir.Path());
    engine.Form_Load();
    h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + kEvents; },
                        (kEvents + 6) * 1000);
    h.realLoop.RunFor(200);
    engine.Form_Terminate();
    *confirmations = static_cast<size_t>(std::count_if(
        h.view.Confirmations.begin(), h.view.Confirmations.end(),
        [](const auto& c) { return c.Result == qtx::state::ConfirmResult::NotConfirmed; }));
    for (const auto& r : stalled)
        if (r->Count() == 0)
            std::printf("a stalled route got no alarm\n");
    std::map<int, int64_t> arrival;  // source -> first arrival (us)
    for (const auto& f : sim.Stop())
        if (static_cast<uint8_t>(f.Bytes[0]) == 0xFE) {
            const int n = qtx::WordAt(f.Bytes, 3) + 1 - 8;
            if (!arrival.count(n))
                arrival[n] = f.TimeUs;
        }
    std::vector<double> late;
    for (int i = 0; i < kEvents; ++i)
        if (const auto it = arrival.find(i + 1); it != arrival.end())
            late.push_back(
                static_cast<double>(it->second -
                                    qtx::test::LocalSecondToEpochMs(now, first + i) * 1000) /
                1000.0);
    return late;
}

// p50/p95/p99, the p99 beside the floor's, and beside confirmation off.
void Print(const char* name, const std::vector<double>& v, const std::vector<double>& floor,
           const std::vector<double>& off) {
    std::printf("%-30s p50 %6.2f  p95 %6.2f  p99 %6.2f ms  p99 %5.1fx floor  %+6.2f ms vs off\n",
                name, Percentile(v, 0.5), Percentile(v, 0.95), Percentile(v, 0.99),
                Percentile(v, 0.99) / Percentile(floor, 0.99),
                Percentile(v, 0.99) - Percentile(off, 0.99));
}

void BM_LatenessWithConfirmation(benchmark::State& state) {
    for (auto _ : state) {
        const std::vector<double> floor = Floor();
        size_t confirmedOn = 0, confirmedOff = 0, confirmedRoutes = 0;
        const std::vector<double> off = Engine(0, &confirmedOff);
        const std::vector<double> on = Engine(1000, &confirmedOn);
        const std::vector<double> routes = Engine(1000, &confirmedRoutes, 3);
        if (floor.size() < kFloorSends || off.size() < kEvents || on.size() < kEvents ||
            routes.size() < kEvents) {
            state.SkipWithError("frames missing (or too close to midnight)");
            return;
        }
        for (auto [name, v] :
             {std::pair{"floor", &floor}, {"off", &off}, {"on", &on}, {"on_3_stalled", &routes}}) {
            state.counters[std::string(name) + "_p50_ms"] = Percentile(*v, 0.50);
            state.counters[std::string(name) + "_p99_ms"] = Percentile(*v, 0.99);
        }
        Print("floor (absolute timer)", floor, floor, off);
        Print("confirmation off", off, floor, off);
        Print("confirmation on, ignored", on, floor, off);
        Print("on, ignored, 3 stalled routes", routes, floor, off);
        const double worst = std::max(Percentile(on, 0.99), Percentile(routes, 0.99));
        std::printf(
            "goal p99 <= 2 ms and <= off + 0.5 ms: %s; not confirmed with it on: %zu and %zu "
            "(of %d takes each)\n",
            worst <= 2.0 && worst <= Percentile(off, 0.99) + 0.5 ? "met" : "NOT met", confirmedOn,
            confirmedRoutes, kEvents);
        (void)confirmedOff;
    }
}
BENCHMARK(BM_LatenessWithConfirmation)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
