// Lateness of an event's first frame at the switcher after the event's scheduled second: the
// engine with the real clock, a real poll loop and its own aligned 500 ms tick, against the
// switcher simulator running in a thread of its own (a separate peer that stamps each frame
// as it arrives). 22 events, one per second; reports the 50th and 95th percentile and the
// maximum. The floor, measured first in the same run against the same simulator: a plain
// sender that sleeps to each second on an absolute wall-clock timer and writes one frame.
// Takes about 40 s, so it is not part of the test suite.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <future>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/AbsoluteTimerFloor.h"
#include "bench/SimThread.h"
#include "common/Format.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/WallClock.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/sim/SwitcherSim.h"

namespace {

using qtx::test::EngineHarness;
using qtx::test::Event;

constexpr int kEvents = 22;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

constexpr int kFloorSends = qtx::bench::FloorSends;
using qtx::bench::FloorSender;

void Report(benchmark::State& state, const char* name, const std::vector<double>& late) {
    state.counters[std::string(name) + "_p50_ms"] = Percentile(late, 0.50);
    state.counters[std::string(name) + "_p95_ms"] = Percentile(late, 0.95);
    state.counters[std::string(name) + "_max_ms"] = *std::max_element(late.begin(), late.end());
}

void BM_FirstFrameLateness(benchmark::State& state) {
    for (auto _ : state) {
        qtx::bench::SimThread sim;
        const int simPort = sim.Port();
        const int64_t floorFirst = FloorSender(simPort);

        qtx::SystemClock clock;
        const qtx::LocalDateTime now = clock.Now();
        const int first = now.SecondsOfDay() + 3;
        if (first + kEvents + 5 >= 86400) {
            sim.Stop();
            state.SkipWithError("too close to midnight");
            return;
        }

        EngineHarness h{now};
        std::vector<qtx::test::EventRow> rows;
        for (int i = 0; i < kEvents; ++i) {
            auto row = Event(i + 1, now.MondayIndex(), qtx::FormatHhMmSs(first + i), "e");
            row["scontrol"] = 1;
            row["Salvo"] = i + 1;
            rows.push_back(row);
        }
        rows.push_back(Event(kEvents + 1, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
        h.WriteDatabase(rows, "127.0.0.1", simPort);

        qtx::Engine engine(clock, h.realLoop, h.view, h.dir.Path());
        engine.Form_Load();
        h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + kEvents; },
                            (kEvents + 6) * 1000);
        h.realLoop.RunFor(200);
        engine.Form_Terminate();
        const std::vector<qtx::sim::ReceivedFrame> frames = sim.Stop();

        std::map<int, int64_t> arrival;  // salvo number -> first arrival (us)
        for (const auto& f : frames)
            if (static_cast<uint8_t>(f.Bytes[0]) == 0xEA) {
                const int n = qtx::WordAt(f.Bytes, 2) + 1;
                if (!arrival.count(n))
                    arrival[n] = f.TimeUs;
            }
        std::vector<double> late, floor;
        for (int i = 0; i < kEvents; ++i) {
            const auto it = arrival.find(i + 1);
            if (it != arrival.end())
                late.push_back(
                    static_cast<double>(it->second -
                                        qtx::test::LocalSecondToEpochMs(now, first + i) * 1000) /
                    1000.0);
        }
        for (int i = 0; i < kFloorSends; ++i) {
            const auto it = arrival.find(1000 + i);
            if (it != arrival.end())
                floor.push_back(static_cast<double>(it->second - (floorFirst + i) * 1000000) /
                                1000.0);
        }
        if (late.size() < 20 || floor.size() < static_cast<size_t>(kFloorSends)) {
            state.SkipWithError("frames missing");
            return;
        }
        state.counters["events"] = static_cast<double>(late.size());
        Report(state, "engine", late);
        Report(state, "floor", floor);
        state.counters["ratio_p95"] = Percentile(late, 0.95) / Percentile(floor, 0.95);
        std::printf(
            "engine lateness p50 %.2f ms, p95 %.2f ms, max %.2f ms; floor (absolute-timer "
            "sender) p50 %.2f ms, p95 %.2f ms; ratio p95 %.1fx\n",
            Percentile(late, 0.5), Percentile(late, 0.95),
            *std::max_element(late.begin(), late.end()), Percentile(floor, 0.5),
            Percentile(floor, 0.95), Percentile(late, 0.95) / Percentile(floor, 0.95));
    }
}
BENCHMARK(BM_FirstFrameLateness)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
