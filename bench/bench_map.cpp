// Parsing a crosspoint map of 1024 outputs with 4 sources each (goal: well under 1 ms), with a
// reference that only walks the same bytes, decoding every word, to show the parser's overhead.
#include <benchmark/benchmark.h>

#include "common/Clock.h"
#include "common/PollEventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/TcpComm.h"
#include "ui/RecordingMainWindow.h"

namespace {

std::string MapOf1024x4() {
    std::string m = qtx::frames::SingleByte(qtx::frames::Map);
    m.push_back(0);
    qtx::AppendWord(m, 1024);
    qtx::AppendWord(m, 0);
    for (int o = 0; o < 1024; ++o) {
        qtx::AppendWord(m, 4);
        m.push_back(0);
        for (int j = 0; j < 4; ++j) {
            qtx::AppendWord(m, (o + j) % 1000);
            qtx::AppendWord(m, j);
        }
    }
    return qtx::frames::Finish(m);
}

// The state and the links a received map is applied to.
struct Links {
    qtx::PollEventLoop loop;
    qtx::FakeClock clock;
    qtx::Variables vars;
    qtx::Logs logs{vars, clock};
    qtx::RecordingMainWindow view;
    qtx::TcpComm tcp{vars, logs, view, loop};
};

void BM_ProcessCrosspointMap(benchmark::State& state) {
    Links l;
    qtx::Variables& vars = l.vars;
    qtx::TcpComm& tcp = l.tcp;
    const std::string m = MapOf1024x4();
    for (auto _ : state) {
        vars.CrosspointMap.assign(1, {});
        tcp.ProcessCrosspointMap(m, 0);
        benchmark::DoNotOptimize(vars.CrosspointMap.data());
    }
    if (vars.CrosspointMap.size() != 1024 || !vars.MapReceived[0])
        state.SkipWithError("map not applied");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_ProcessCrosspointMap)->Unit(benchmark::kMicrosecond);

// Through the receive buffer, as a read event hands it over.
void BM_ProcessReceivedMap(benchmark::State& state) {
    Links l;
    qtx::Variables& vars = l.vars;
    qtx::TcpComm& tcp = l.tcp;
    const std::string m = MapOf1024x4();
    for (auto _ : state) {
        vars.RecvBuffer[0] = m;
        tcp.ProcessReceived(0);
        benchmark::DoNotOptimize(vars.CrosspointMap.data());
    }
}
BENCHMARK(BM_ProcessReceivedMap)->Unit(benchmark::kMicrosecond);

void BM_ReferenceWordWalk(benchmark::State& state) {
    const std::string m = MapOf1024x4();
    for (auto _ : state) {
        int64_t sum = qtx::Checksum(m, m.size() - 2);
        for (size_t q = 2; q + 1 < m.size() - 2; q += 2)
            sum += qtx::WordAt(m, q);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_ReferenceWordWalk)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
