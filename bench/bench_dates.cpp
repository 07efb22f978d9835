// Date rules at full size: 32767 events, each with rules (every one avoids a 1000-date calendar;
// by turns a season, every other week, a latest, a start date), on one day of the week each.
//   Dates/load:   the engine's load of the file (LoadAutomationDB, then the rules and calendars
//                 it judges by) beside its floor, a plain sqlite3_step loop over every loaded
//                 column of Automation and every column of the four date tables.
//   Dates/preview_year: `qtx-eventdb preview --days 364` as an operator runs it (a program of
//                 its own), per week previewed, beside the sqlite3 shell reading every row of
//                 the same five tables; both child processes, timed in turn in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "bench/FloorReporter.h"
#include "database/DBEngine.h"
#include "fixtures/DiskWorkEnv.h"
#include "fixtures/EventDb.h"
#include "schedule/DateStore.h"

namespace qtx {
namespace {

constexpr int Rows = 32767;
constexpr int Weeks = 52;

struct DatesFile : test::DiskWorkEnv {
    DatesFile() {
        test::MakeEventDb(vars.DBPath);
        {
            Database db = engine.OpenDatabase(vars.DBPath);
            schedule::EnsureDateTables(db);
        }
        const std::string rows =
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
            "WHERE i < " +
            std::to_string(Rows) + ") ";
        test::RunSql(
            vars.DBPath,
            "BEGIN;" + rows +
                "INSERT INTO Automation (Number, Day, Time, Title, Active, scontrol, Salvo, Gain, "
                "Color) SELECT i, i % 7, printf('%02d:%02d:%02d', i % 24, i / 24 % 60, i % 60), "
                "'Event ' || i, 1, 1, 1 + i % 100, 1024, 16777215 FROM n;" +
                rows +
                "INSERT INTO EventDates (Number, FromDate, UntilDate, EveryWeeks, WeekOf, Latest) "
                "SELECT i, CASE i % 4 WHEN 0 THEN '2027-01-01' WHEN 3 THEN '2026-01-01' END, "
                "CASE i % 4 WHEN 0 THEN '2027-06-30' END, CASE i % 4 WHEN 1 THEN 2 END, "
                "CASE i % 4 WHEN 1 THEN '2026-12-07' END, CASE i % 4 WHEN 2 THEN '00:00:05' END "
                "FROM n;" +
                rows + "INSERT INTO EventCalendars SELECT i, 'except', 'uk' FROM n;" +
                "INSERT INTO Calendars (Name) VALUES ('uk');"
                "WITH RECURSIVE d(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM d WHERE i < 999) "
                "INSERT INTO CalendarDates SELECT 'uk', date('2025-01-01', '+' || (i * 2) || "
                "' days'), 'Holiday ' || i FROM d;"
                "COMMIT;");
    }
};

// The floor of the load: every loaded column of Automation and every column of the date
// tables, stepped and read.
void StepLoop(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    int64_t sum = 0;
    for (const char* sql :
         {"SELECT Number, Day, Time, Title, SourceChan, DestChan, ReqSource, ReqDest, Active, "
          "Relay, Opto, Salvo, VChan, Gain, xcontrol, rcontrol, scontrol, vcontrol, Type, "
          "Condition, FileName, FileType, Message, mcontrol, mtype, Method, MIPAddress, MIPPort, "
          "MFrame, MSlot, MPort, MCommPort, MBaudRate, TriggerSource, TriggerDest, tControl, "
          "Color FROM Automation",
          "SELECT * FROM EventDates", "SELECT * FROM EventCalendars", "SELECT * FROM Calendars",
          "SELECT * FROM CalendarDates"}) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        const int columns = sqlite3_column_count(st);
        while (sqlite3_step(st) == SQLITE_ROW)
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(st, c) == SQLITE_TEXT)
                    sum += sqlite3_column_bytes(st, c) + *sqlite3_column_text(st, c);
                else
                    sum += sqlite3_column_int64(st, c);
            }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    benchmark::DoNotOptimize(sum);
}

void BM_Load(benchmark::State& state) {
    DatesFile f;
    size_t judged = 0;
    for (auto _ : state) {
        f.disk.LoadAutomationDB();
        Database db = f.engine.OpenDatabase(f.vars.DBPath);
        const schedule::DateBook book = schedule::LoadDateBook(db);
        judged += book.Empty() ? 0 : 1;
    }
    if (f.vars.EventCount != Rows || judged == 0)
        state.SkipWithError("load failed");
}
BENCHMARK(BM_Load)->Name("Dates/load")->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_LoadFloor(benchmark::State& state) {
    DatesFile f;
    for (auto _ : state)
        StepLoop(f.vars.DBPath);
}
BENCHMARK(BM_LoadFloor)->Name("Dates/load_floor")->Iterations(10)->Unit(benchmark::kMillisecond);

// Runs a program with its output to /dev/null; returns the processor milliseconds (user and
// system) it took.
double ChildCpuMs(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        (void)!std::freopen("/dev/null", "w", stdout);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed");
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void BM_PreviewYear(benchmark::State& state) {
    DatesFile f;
    const std::string tool = std::string(QTX_BINARY_DIR) + "/apps/qtx-eventdb/qtx-eventdb";
    double tool_ms = 0, shell_ms = 0;
    for (auto _ : state) {
        tool_ms += ChildCpuMs({tool, "preview", f.vars.DBPath, "--from", "2026-12-07 00:00:00",
                               "--days", std::to_string(Weeks * 7)});
        shell_ms += ChildCpuMs({"sqlite3", f.vars.DBPath,
                                "SELECT * FROM Automation; SELECT * FROM EventDates; SELECT * "
                                "FROM EventCalendars; SELECT * FROM Calendars; SELECT * FROM "
                                "CalendarDates"});
    }
    const double n = static_cast<double>(state.iterations());
    const double perWeek = tool_ms / n / Weeks, floor = shell_ms / n;
    state.counters["preview_cpu_ms"] = tool_ms / n;
    state.counters["per_week_cpu_ms"] = perWeek;
    state.counters["floor_sqlite3_cpu_ms"] = floor;
    state.counters["per_week_ratio"] = perWeek / floor;
    std::printf(
        "qtx-eventdb preview --days %d: %.0f ms CPU, %.1f ms a week; floor sqlite3 reading the "
        "five tables: %.1f ms CPU; per-week ratio %.2fx\n",
        Weeks * 7, tool_ms / n, perWeek, floor, perWeek / floor);
}
BENCHMARK(BM_PreviewYear)->Name("Dates/preview_year")->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qtx

int main(int argc, char** argv) {
    return qtx::bench::RunWithFloors(argc, argv, {{"Dates/load", "Dates/load_floor"}});
}
