// Time from a take the switcher ignores (its map still answering) to the webhook's arrival at a
// receiver on 127.0.0.1, beside its floor in the same run: ConfirmWithin plus one map round trip,
// the map asked of the same simulator over TCP with the protocol's map request and timed. One
// take a second with a short ConfirmWithin; takes about 15 s; not part of the test suite.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "SimThread.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/WebhookReceiver.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "fixtures/EngineHarness.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"

namespace {

using qtx::bench::SimThread;
using qtx::test::EngineHarness;
using qtx::test::Event;

constexpr int kConfirmWithinMs = 200;
constexpr int kTakes = 8;
constexpr int kMapAsks = 20;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Milliseconds from writing the map request to the whole answer, kMapAsks times.
std::vector<double> MapRoundTrips(const SimThread& sim) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(sim.Port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<double> out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return out;
    }
    ::usleep(100000);
    char buf[65536];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }  // whatever it greets with
    const std::string ask = qtx::frames::InfoRequestFrame(qtx::frames::MapRequestSelector);
    for (int i = 0; i < kMapAsks; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size()))
            break;
        size_t got = 0;
        pollfd p{fd, POLLIN, 0};
        while (got < sim.MapBytes() && ::poll(&p, 1, 1000) > 0) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got != sim.MapBytes())
            break;
        out.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
        ::usleep(20000);
    }
    ::close(fd);
    return out;
}

// The engine with one take a second (source i + 21 to output i + 1) and one webhook route: the
// milliseconds from each take's arrival at the simulator to its alarm's arrival at the receiver.
std::vector<double> TakeToWebhook(SimThread& sim) {
    qtx::test::WebhookReceiver hook(qtx::test::WebhookReceiver::Mode::Ok);
    qtx::SystemClock clock;
    const qtx::LocalDateTime now = clock.Now();
    const int first = now.SecondsOfDay() + 3;
    if (first + kTakes + 5 >= 86400)
        return {};
    EngineHarness h{now};
    std::vector<qtx::test::EventRow> rows;
    for (int i = 0; i < kTakes; ++i) {
        auto row = Event(i + 1, now.MondayIndex(), qtx::FormatHhMmSs(first + i), "e");
        row["xcontrol"] = 1;
        row["SourceChan"] = i + 21;  // never what the output carries already
        row["DestChan"] = i + 1;
        rows.push_back(row);
    }
    rows.push_back(Event(kTakes + 1, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
    h.WriteDatabase(rows, "127.0.0.1", sim.Port());
    h.Sql(
        "CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT);"
        "INSERT INTO Settings VALUES ('ConfirmWithin', '" +
        std::to_string(kConfirmWithinMs) + "')");
    {
        qtx::DBEngine dbe;
        qtx::Database db = dbe.OpenDatabase(h.dir.File("QTXAutomation.mdb"));
        qtx::alarms::AlarmRoute r;
        r.Target = hook.Url();
        qtx::alarms::AddRoute(db, r);
        db.Close();
    }
    qtx::Engine engine(clock, h.realLoop, h.view, h.dir.Path());
    engine.Form_Load();
    h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + kTakes; },
                        (kTakes + 6) * 1000);
    h.realLoop.RunFor(3 * kConfirmWithinMs + 200);
    engine.Form_Terminate();
    std::map<int, int64_t> taken;  // event number -> the take's first arrival (us)
    for (const auto& f : sim.Stop())
        if (static_cast<uint8_t>(f.Bytes[0]) == 0xFE && f.Bytes.size() == 9) {
            taken.emplace(qtx::WordAt(f.Bytes, 5) + 1, f.TimeUs);
        }
    std::vector<double> out;
    for (const auto& r : hook.Requests()) {
        const auto j = nlohmann::json::parse(r.Body, nullptr, false);
        if (j.is_discarded() || j.value("kind", "") != "take-not-confirmed" || !j.contains("event"))
            continue;
        const int n = j["event"].value("number", 0);
        if (const auto it = taken.find(n); it != taken.end())
            out.push_back(static_cast<double>(r.AtUs - it->second) / 1000.0);
    }
    return out;
}

void BM_IgnoredTakeToWebhook(benchmark::State& state) {
    for (auto _ : state) {
        SimThread sim(qtx::bench::IgnoringTakes());
        const std::vector<double> map = MapRoundTrips(sim);
        const std::vector<double> alarm = TakeToWebhook(sim);
        if (map.size() < kMapAsks / 2 || alarm.size() < kTakes) {
            std::printf("map answers %zu of %d, alarms %zu of %d\n", map.size(), kMapAsks,
                        alarm.size(), kTakes);
            state.SkipWithError("map answers or alarms missing (or too close to midnight)");
            return;
        }
        std::vector<double> floor;
        for (double m : map)
            floor.push_back(kConfirmWithinMs + m);
        const double p50 = Percentile(alarm, 0.5), p95 = Percentile(alarm, 0.95);
        const double f50 = Percentile(floor, 0.5), f95 = Percentile(floor, 0.95);
        state.counters["alarm_p50_ms"] = p50;
        state.counters["alarm_p95_ms"] = p95;
        state.counters["floor_p50_ms"] = f50;
        state.counters["floor_p95_ms"] = f95;
        std::printf("map round trip (%zu asks)       p50 %7.2f  p95 %7.2f ms\n", map.size(),
                    Percentile(map, 0.5), Percentile(map, 0.95));
        std::printf("floor: ConfirmWithin %d + map   p50 %7.2f  p95 %7.2f ms\n", kConfirmWithinMs,
                    f50, f95);
        std::printf("ignored take -> webhook (%zu)    p50 %7.2f  p95 %7.2f ms  (%.2fx floor)\n",
                    alarm.size(), p50, p95, p95 / f95);
        std::printf("over the floor: p50 %+.2f  p95 %+.2f ms; goal <= 50 ms: %s\n", p50 - f50,
                    p95 - f95, p95 - f95 <= 50.0 ? "met" : "NOT met");
    }
}
BENCHMARK(BM_IgnoredTakeToWebhook)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
