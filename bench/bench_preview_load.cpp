// The engine's event lateness while one viewer keeps asking the real qtx-console for 16
// month-long previews at once, and the console's peak memory meanwhile. The engine runs with the
// real clock against the switcher simulator in a thread of its own, an event every second, on a
// full file (32767 records: the preview's work is a full file's). The floor, measured in the same
// run under the same load before the engine starts: a plain sender on an absolute wall-clock
// timer. Takes about a minute, so it is not part of the test suite.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "bench/AbsoluteTimerFloor.h"
#include "bench/SimThread.h"
#include "common/Format.h"
#include "console/ConsoleProcess.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/WallClock.h"
#include "switcher/sim/SwitcherSim.h"

namespace {

constexpr int kEvents = 30;
constexpr int kPreviews = 16;
const char* kPassword = "bench password";

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1,
                      static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

long PeakKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

void BM_LatenessWithSixteenPreviews(benchmark::State& state) {
    for (auto _ : state) {
        qtx::bench::SimThread sim;
        const int simPort = sim.Port();

        qtx::SystemClock clock;
        const qtx::LocalDateTime now = clock.Now();
        const int today = now.MondayIndex();
        // The events start once the floor has been measured (its ten seconds from about 3 s on).
        const int first = now.SecondsOfDay() + 20;
        if (first + kEvents + 5 >= 86400) {
            sim.Stop();
            state.SkipWithError("too close to midnight");
            return;
        }
        qtx::test::EngineHarness h{now};
        std::vector<qtx::test::EventRow> rows;
        for (int i = 0; i < kEvents; ++i) {
            auto row = qtx::test::Event(i + 1, today, qtx::FormatHhMmSs(first + i), "e");
            row["scontrol"] = 1;
            row["Salvo"] = i + 1;
            rows.push_back(row);
        }
        h.WriteDatabase(rows, "127.0.0.1", simPort);
        // The rest of a full file on the other days: what the previews go through.
        h.Sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
              std::to_string(32767 - 100) +
              ") INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, "
              "DestChan) SELECT i + 100, (" +
              std::to_string(today) +
              " + 1 + i % 6) % 7, printf('%02d:%02d:%02d', i % 24, i % 60, i % 59), "
              "'Event number ' || i, 1, 1, 1 + i % 16, 1 + i % 8 FROM n");
        qtx::test::RunConsoleTool(
            {"add-user", "bench", "--role", "viewer", "--folder", h.dir.Path()},
            std::string(kPassword) + "\n");
        auto console = std::make_unique<qtx::test::ConsoleProcess>(h.dir.Path());
        const int consolePort = console->Port();

        // One viewer: 16 previews of 31 days at once, again as soon as all are answered.
        std::atomic<bool> stop{false};
        std::map<int, int> statuses;
        std::thread viewer([&] {
            qtx::test::ApiClient client(consolePort);
            client.Login("bench", kPassword);
            const std::string cookie = client.Cookie();
            while (!stop) {
                std::vector<std::future<int>> answers;
                for (int i = 0; i < kPreviews; ++i)
                    answers.push_back(std::async(std::launch::async, [&] {
                        qtx::test::HttpClient http("127.0.0.1", consolePort);
                        http.set_read_timeout(300, 0);
                        auto r = http.Get("/api/preview?days=31", {{"Cookie", cookie}});
                        return r ? r->status : -1;
                    }));
                for (auto& a : answers)
                    ++statuses[a.get()];
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int64_t floorFirst = qtx::bench::FloorSender(simPort);

        qtx::Engine engine(clock, h.realLoop, h.view, h.dir.Path());
        engine.Form_Load();
        h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + kEvents; },
                            (kEvents + 6) * 1000);
        h.realLoop.RunFor(200);
        engine.Form_Terminate();
        stop = true;
        viewer.join();
        const long peak = PeakKiB(console->Pid());
        console.reset();
        const std::vector<qtx::sim::ReceivedFrame> frames = sim.Stop();

        std::map<int, int64_t> arrival;  // salvo number -> first arrival (us)
        for (const auto& f : frames)
            if (static_cast<uint8_t>(f.Bytes[0]) == 0xEA &&
                !arrival.count(qtx::WordAt(f.Bytes, 2) + 1))
                arrival[qtx::WordAt(f.Bytes, 2) + 1] = f.TimeUs;
        std::vector<double> late, floor;
        for (int i = 0; i < kEvents; ++i)
            if (auto it = arrival.find(i + 1); it != arrival.end())
                late.push_back(
                    static_cast<double>(it->second -
                                        qtx::test::LocalSecondToEpochMs(now, first + i) * 1000) /
                    1000.0);
        for (int i = 0; i < qtx::bench::FloorSends; ++i)
            if (auto it = arrival.find(qtx::bench::FloorFirstSalvo + i); it != arrival.end())
                floor.push_back(static_cast<double>(it->second - (floorFirst + i) * 1000000) /
                                1000.0);
        if (late.size() < kEvents - 2 || floor.size() < qtx::bench::FloorSends - 1u) {
            state.SkipWithError("frames missing");
            return;
        }
        for (const char* p : {"p50", "p95", "p99"}) {
            const double q = p[1] == '5' ? 0.5 : p[2] == '5' ? 0.95 : 0.99;
            state.counters[std::string("engine_") + p + "_ms"] = Percentile(late, q);
            state.counters[std::string("floor_") + p + "_ms"] = Percentile(floor, q);
        }
        state.counters["console_peak_MiB"] = static_cast<double>(peak) / 1024.0;
        std::printf(
            "engine lateness p50 %.2f ms, p95 %.2f ms, p99 %.2f ms; floor (absolute-timer sender) "
            "p50 %.2f ms, p95 %.2f ms, p99 %.2f ms; ratio p95 %.1fx; console peak %.0f MiB; "
            "previews answered:",
            Percentile(late, 0.5), Percentile(late, 0.95), Percentile(late, 0.99),
            Percentile(floor, 0.5), Percentile(floor, 0.95), Percentile(floor, 0.99),
            Percentile(late, 0.95) / std::max(0.01, Percentile(floor, 0.95)),
            static_cast<double>(peak) / 1024.0);
        for (const auto& [status, count] : statuses)
            std::printf(" %d x%d", status, count);
        std::printf("\n");
    }
}
BENCHMARK(BM_LatenessWithSixteenPreviews)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
