// Parsing a crosspoint map of 1024 outputs with 4 sources each, beside its floor: a flat parse
// of the same bytes that checks the checksum and decodes every word into one flat array.
#include <benchmark/benchmark.h>

#include "bench/FloorReporter.h"

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

// A switcher's repeated map messages: each applied to the map the link already holds.
void BM_ProcessCrosspointMap(benchmark::State& state) {
    Links l;
    qtx::Variables& vars = l.vars;
    qtx::TcpComm& tcp = l.tcp;
    const std::string m = MapOf1024x4();
    tcp.ProcessCrosspointMap(m, 0);
    for (auto _ : state) {
        tcp.ProcessCrosspointMap(m, 0);
        benchmark::DoNotOptimize(vars.CrosspointMap.data());
    }
    if (vars.CrosspointMap.size() != 1024 || !vars.MapReceived[0])
        state.SkipWithError("map not applied");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_ProcessCrosspointMap)->Unit(benchmark::kMicrosecond);

// The first map after a link comes up: the map grows from its single empty entry.
void BM_FirstMapAfterReset(benchmark::State& state) {
    Links l;
    qtx::Variables& vars = l.vars;
    qtx::TcpComm& tcp = l.tcp;
    const std::string m = MapOf1024x4();
    for (auto _ : state) {
        vars.CrosspointMap.assign(1, {});
        tcp.ProcessCrosspointMap(m, 0);
        benchmark::DoNotOptimize(vars.CrosspointMap.data());
    }
}
BENCHMARK(BM_FirstMapAfterReset)->Unit(benchmark::kMicrosecond);

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

void BM_FlatParse(benchmark::State& state) {
    const std::string m = MapOf1024x4();
    std::vector<int16_t> words(m.size() / 2);
    for (auto _ : state) {
        const auto* b = reinterpret_cast<const uint8_t*>(m.data());
        int sum = 0;
        for (size_t i = 1; i + 2 < m.size(); ++i)
            sum = (sum + b[i]) & 0x7F;
        size_t w = 0;
        for (size_t q = 2; q + 3 < m.size(); q += 2)
            words[w++] = static_cast<int16_t>(b[q] + 128 * b[q + 1]);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(words.data());
    }
}
BENCHMARK(BM_FlatParse)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return qtx::bench::RunWithFloors(argc, argv,
                                     {{"BM_ProcessCrosspointMap", "BM_FlatParse"},
                                      {"BM_ProcessReceivedMap", "BM_FlatParse"},
                                      {"BM_FirstMapAfterReset", "BM_FlatParse"}});
}
