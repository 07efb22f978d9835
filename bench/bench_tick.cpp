// CPU time of an idle scheduler tick (nothing due, no database change), beside the tick that
// also runs the every-third-tick work (database watch and polls).
#include <benchmark/benchmark.h>

#include "fixtures/EngineHarness.h"

namespace {

using qtx::test::EngineHarness;
using qtx::test::Event;

std::unique_ptr<EngineHarness> MakeEngine(int events, const std::string& server = "127.0.0.1") {
    auto h = std::make_unique<EngineHarness>(qtx::LocalDateTime{2026, 12, 7, 9, 0, 0, 5});
    std::vector<qtx::test::EventRow> rows;
    for (int i = 0; i < events; ++i)
        rows.push_back(Event(i + 1, 1 + i % 6, "10:00:00", "event " + std::to_string(i)));
    h->WriteDatabase(rows, server);
    h->Start();
    return h;
}

// Two of every three ticks: clock, status, reconnect attempt of a down link, due test.
void BM_IdleTick(benchmark::State& state) {
    auto h = MakeEngine(static_cast<int>(state.range(0)));
    h->vars().ServerConnected = true;  // no reconnect: the steady state of a running engine
    for (auto _ : state) {
        h->vars().TickCounter = 0;
        h->engine->tmrTimer_Timer();
    }
}
BENCHMARK(BM_IdleTick)->Arg(100)->Arg(32767);

// Every third tick: adds the database file-time check.
void BM_WatchTick(benchmark::State& state) {
    // No server configured ("0.0.0.0"): the reconnect attempt returns at once, and no poll
    // goes to a socket that is not there.
    auto h = MakeEngine(100, "0.0.0.0");
    for (auto _ : state) {
        h->vars().TickCounter = 2;
        h->engine->tmrTimer_Timer();
    }
}
BENCHMARK(BM_WatchTick);

}  // namespace

BENCHMARK_MAIN();
