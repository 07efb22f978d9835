// Loading a 32767-row event database: the read and the ordering timed apart, with the literal
// exchange passes beside the fast ordering on the same tables.
#include <benchmark/benchmark.h>

#include <random>

#include "common/Clock.h"
#include "database/DiskWork.h"
#include "database/EventOrder.h"
#include "fixtures/DiskWorkEnv.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "ui/RecordingMainWindow.h"

namespace qtx {
namespace {

constexpr int Rows = 32767;

enum class Shape { Random, Sorted, Reversed };

std::vector<AutomationEvent> Table(Shape shape) {
    std::mt19937 rng(12345);
    std::vector<AutomationEvent> t(Rows);
    for (int i = 0; i < Rows; ++i) {
        char time[16];
        std::snprintf(time, sizeof time, "%02u:%02u:%02u", static_cast<unsigned>(rng() % 24),
                      static_cast<unsigned>(rng() % 4) * 15, 0u);
        t[i].Number = static_cast<int16_t>(i);
        t[i].Day = static_cast<int16_t>(rng() % 8);
        t[i].Time = time;
        t[i].Title = "Event " + std::to_string(i);
    }
    if (shape != Shape::Random) {
        OrderEventTable(t);
        if (shape == Shape::Reversed)
            std::reverse(t.begin(), t.end());
    }
    return t;
}

template <void (*Order)(std::vector<AutomationEvent>&)>
void BM_Order(benchmark::State& state) {
    const std::vector<AutomationEvent> base = Table(static_cast<Shape>(state.range(0)));
    std::vector<AutomationEvent> t;
    for (auto _ : state) {
        state.PauseTiming();
        t = base;
        state.ResumeTiming();
        Order(t);
        benchmark::DoNotOptimize(t.data());
    }
}
void Fast(std::vector<AutomationEvent>& t) {
    OrderEventTable(t);
}
void Reference(std::vector<AutomationEvent>& t) {
    OrderByExchangePasses(t);
}

BENCHMARK(BM_Order<Fast>)
    ->Name("Order/fast")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Order<Reference>)
    ->Name("Order/exchange_passes")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The whole load of a 32767-row file (schema check, read, order), and the read alone.
struct LoadFixture : test::DiskWorkEnv {
    LoadFixture() {
        test::MakeEventDb(vars.DBPath);
        std::vector<AutomationEvent> t = Table(Shape::Random);
        std::string sql = "BEGIN;";
        for (const AutomationEvent& e : t)
            sql +=
                "INSERT INTO Automation (Number, Day, Time, Title, Active, Gain, Color) VALUES (" +
                std::to_string(e.Number) + "," + std::to_string(e.Day) + ",'" + e.Time + "','" +
                e.Title + "',1,1024,16777215);";
        test::RunSql(vars.DBPath, sql + "COMMIT;");
    }
};

void BM_LoadAutomationDB(benchmark::State& state) {
    LoadFixture f;
    for (auto _ : state) {
        f.disk.LoadAutomationDB();
        benchmark::DoNotOptimize(f.vars.EventTable.data());
    }
    if (f.vars.EventCount != Rows)
        state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadAutomationDB)->Unit(benchmark::kMillisecond);

void BM_ReadRowsOnly(benchmark::State& state) {
    LoadFixture f;
    for (auto _ : state) {
        Database db = f.engine.OpenDatabase(f.vars.DBPath);
        Recordset rs = db.OpenRecordset("Automation");
        int64_t sum = 0;
        const int n = static_cast<int>(rs.Fields().size());
        while (!rs.IsEOF()) {
            for (int c = 0; c < n; ++c)
                sum += rs.Value(c).IsNull() ? 0 : 1;
            rs.MoveNext();
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_ReadRowsOnly)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qtx

BENCHMARK_MAIN();
