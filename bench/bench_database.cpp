// The event database at its largest (32767 rows, every column filled): each figure is measured
// beside its floor, the least work that does the same job on the same file in the same run, and
// printed with the ratio (counters figure_ms, floor_ms, ratio: medians over the iterations).
//   Load:    LoadAutomationDB (check, settings, every row, order) against a plain sqlite3_step
//            loop reading the same columns of the same rows.
//   Upgrade: LoadAutomationDB of a version-1 file (raised to 7 on the way) against the load of
//            the same rows in a file already at version 7.
//   Skip / OneTime: the marking's database change (every row of the event, one transaction)
//            against one UPDATE / DELETE ... WHERE Number = ? on the same file.
//   TaskView: the refresh of the task viewer's copy (rows and compaction) against one
//            DELETE and INSERT ... SELECT in one transaction.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>

#include "database/EventSchema.h"
#include "database/TaskViewWorker.h"
#include "engine/EventHandle.h"
#include "fixtures/DiskWorkEnv.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"

namespace qtx {
namespace {

constexpr int Rows = 32767;
constexpr int RowsPerEvent = 4;  // each event on four days

double Ms(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Report(benchmark::State& state, const std::vector<double>& figure,
            const std::vector<double>& floor) {
    const double f = Median(figure), b = Median(floor);
    state.counters["figure_ms"] = f;
    state.counters["floor_ms"] = b;
    state.counters["ratio"] = b > 0 ? f / b : 0;
}

// Fills Automation of a file at the given version with Rows rows, every column set.
void FillRows(const std::string& path, int version) {
    std::string names, values;
    for (const ColumnSpec& c : SchemaColumns("Automation", version)) {
        const std::string name = c.Name;
        std::string v;
        if (name == "Number")
            v = "n / " + std::to_string(RowsPerEvent);
        else if (name == "Day")
            v = "n % 7";
        else if (name == "Time")
            v = "printf('%02d:%02d:%02d', (n / 7) % 24, (n / 168) % 60, n % 60)";
        else if (name == "Active")
            v = "1";
        else if (name == "Gain")
            v = "1024";
        else if (name == "Color")
            v = "16777215";
        else if (c.Type == dbtype::Text)
            v = "substr('" + name + " of event ' || n || ' with some words', 1, " +
                std::to_string(c.Size > 0 ? c.Size : 40) + ")";
        else if (c.Type == dbtype::Byte)
            v = "n % 200";
        else
            v = "n % 100";
        names += (names.empty() ? "" : ", ") + std::string("\"") + name + "\"";
        values += (values.empty() ? "" : ", ") + v;
    }
    test::RunSql(path, "WITH RECURSIVE r(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM r WHERE n < " +
                           std::to_string(Rows - 1) + ") INSERT INTO Automation (" + names +
                           ") SELECT " + values + " FROM r");
}

struct Sqlite {
    sqlite3* db = nullptr;
    explicit Sqlite(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~Sqlite() { sqlite3_close(db); }
    void Exec(const std::string& sql) { sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
};

// The floor of a load: every loaded column of every row, stepped and read.
void StepLoop(const std::string& path) {
    Sqlite s(path);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s.db,
                       "SELECT Number, Day, Time, Title, SourceChan, DestChan, ReqSource, ReqDest, "
                       "Active, Relay, Opto, Salvo, VChan, Gain, xcontrol, rcontrol, scontrol, "
                       "vcontrol, Type, Condition, FileName, FileType, Message, mcontrol, mtype, "
                       "Method, MIPAddress, MIPPort, MFrame, MSlot, MPort, MCommPort, MBaudRate, "
                       "TriggerSource, TriggerDest, tControl, Color FROM Automation",
                       -1, &st, nullptr);
    int64_t sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        for (int c = 0; c < 37; ++c) {
            if (sqlite3_column_type(st, c) == SQLITE_TEXT)
                sum += sqlite3_column_bytes(st, c) + *sqlite3_column_text(st, c);
            else
                sum += sqlite3_column_int64(st, c);
        }
    }
    sqlite3_finalize(st);
    benchmark::DoNotOptimize(sum);
}

void BM_Load(benchmark::State& state) {
    test::DiskWorkEnv env;
    test::MakeEventDb(env.Db(), 7);
    FillRows(env.Db(), 7);
    std::vector<double> figure, floor;
    for (auto _ : state) {
        floor.push_back(Ms([&] { StepLoop(env.Db()); }));
        figure.push_back(Ms([&] { env.disk.LoadAutomationDB(); }));
    }
    if (env.vars.EventCount != Rows)
        state.SkipWithError("load failed");
    Report(state, figure, floor);
}
BENCHMARK(BM_Load)->Name("Load/32767_rows")->Iterations(15)->Unit(benchmark::kMillisecond);

void BM_Upgrade(benchmark::State& state) {
    test::DiskWorkEnv env;
    const std::string v1 = env.dir.File("v1.mdb"), v7 = env.dir.File("v7.mdb");
    test::MakeEventDb(v1, 1);
    FillRows(v1, 1);
    std::vector<double> figure, floor;
    for (auto _ : state) {
        namespace fs = std::filesystem;
        fs::copy_file(v1, env.Db(), fs::copy_options::overwrite_existing);
        figure.push_back(Ms([&] { env.disk.LoadAutomationDB(); }));
        if (!fs::exists(v7))
            fs::copy_file(env.Db(), v7);  // the same rows, now at version 7
        fs::copy_file(v7, env.Db(), fs::copy_options::overwrite_existing);
        floor.push_back(Ms([&] { env.disk.LoadAutomationDB(); }));
    }
    if (env.vars.EventCount != Rows || env.Logged("Error"))
        state.SkipWithError("upgrade failed");
    Report(state, figure, floor);
}
BENCHMARK(BM_Upgrade)->Name("Upgrade/v1_to_v7")->Iterations(5)->Unit(benchmark::kMillisecond);

// Markings: each iteration marks a different event, and the floor changes yet another.
template <bool Skip>
void BM_Marking(benchmark::State& state) {
    test::EngineHarness h{LocalDateTime{2026, 12, 7, 9, 0, 0, 5}};
    const std::string path = h.dir.File("QTXAutomation.mdb");
    h.WriteDatabase({});
    FillRows(path, 7);
    test::RunSql(path, std::string("UPDATE Automation SET Active = ") + (Skip ? "2" : "3"));
    h.Start();
    std::vector<double> figure, floor;
    int event = 0;
    for (auto _ : state) {
        const int16_t number = static_cast<int16_t>(event++);
        auto& t = h.vars().EventTable;
        const auto at = std::find_if(t.begin(), t.end(),
                                     [&](const AutomationEvent& e) { return e.Number == number; });
        h.vars().NextEventIndex = static_cast<int16_t>(at - t.begin());
        figure.push_back(Ms([&] {
            if (Skip)
                h.engine->Events().UpdateSkipEvent();
            else
                h.engine->Events().DeleteOneTimeEvent();
        }));
        const int other = 4000 + event;
        floor.push_back(Ms([&] {
            Sqlite s(path);
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(s.db,
                               Skip ? "UPDATE Automation SET Active = 1 WHERE Number = ?1"
                                    : "DELETE FROM Automation WHERE Number = ?1",
                               -1, &st, nullptr);
            sqlite3_bind_int(st, 1, other);
            sqlite3_step(st);
            sqlite3_finalize(st);
        }));
    }
    if (!h.ErrorLocations().empty())
        state.SkipWithError("marking failed");
    Report(state, figure, floor);
}
BENCHMARK(BM_Marking<true>)->Name("Marking/skip")->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Marking<false>)
    ->Name("Marking/one_time")
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

void BM_TaskView(benchmark::State& state) {
    test::DiskWorkEnv env;
    test::MakeEventDb(env.Db(), 7);
    FillRows(env.Db(), 7);
    const std::string copy = env.dir.File("view.mdb"), floorCopy = env.dir.File("floor.mdb");
    std::filesystem::copy_file(env.Db(), copy);
    std::filesystem::copy_file(env.Db(), floorCopy);
    const TaskViewJob job{env.Db(), copy, env.dir.File("TempCompact.mdb")};
    std::atomic<bool> cancel{false};
    std::vector<double> figure, floor;
    for (auto _ : state) {
        figure.push_back(Ms([&] {
            if (!RefreshTaskView(job, cancel).empty())
                state.SkipWithError("refresh failed");
        }));
        floor.push_back(Ms([&] {
            Sqlite s(floorCopy);
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(s.db, "ATTACH DATABASE ?1 AS live", -1, &st, nullptr);
            sqlite3_bind_text(st, 1, env.Db().c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_finalize(st);
            s.Exec(
                "BEGIN; DELETE FROM main.Automation; INSERT INTO main.Automation SELECT * "
                "FROM live.Automation; COMMIT");
        }));
    }
    Report(state, figure, floor);
}
BENCHMARK(BM_TaskView)->Name("TaskView/refresh")->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qtx

BENCHMARK_MAIN();
