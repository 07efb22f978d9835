// qtx-eventdb's whole-file work on a 32767-row event database: `check` and `preview --days 7`,
// each beside the engine's own load of the same file, timed in the same run (the floor: the
// least work that reads and understands the same rows); and the program `qtx-eventdb preview
// --days 7` beside the sqlite3 shell reading every row of the file, both as child processes;
// and the import of the same rows, by `qtx-eventdb import` and by POST /api/import to the real
// qtx-console, beside the sqlite3 shell loading them as INSERT statements in one transaction.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/ConsoleProcess.h"
#include "eventdb/EventDbCheck.h"
#include "fixtures/DiskWorkEnv.h"
#include "fixtures/EventDb.h"
#include "preview/Preview.h"

namespace qtx {
namespace {

constexpr int Rows = 32767;

// One row per event: a weekday, a second of the day, a salvo; every 50th inactive, and 16 each
// marked to skip their next run and to run once.
struct WeekFile : test::DiskWorkEnv {
    explicit WeekFile(bool markings = true) {
        test::MakeEventDb(vars.DBPath);
        std::mt19937 rng(2026);
        std::string sql = "BEGIN;";
        for (int n = 1; n <= Rows; ++n) {
            char time[16];
            const unsigned s = static_cast<unsigned>(rng() % 86400);
            std::snprintf(time, sizeof time, "%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
            const int active = n % 50 == 0                 ? 0
                               : markings && n % 2048 == 7 ? 2
                               : markings && n % 2048 == 9 ? 3
                                                           : 1;
            sql +=
                "INSERT INTO Automation (Number, Day, Time, Title, Active, scontrol, Salvo, "
                "Gain, Color) VALUES (" +
                std::to_string(n) + "," + std::to_string(rng() % 7) + ",'" + time + "','Event " +
                std::to_string(n) + "'," + std::to_string(active) + ",1," +
                std::to_string(1 + n % 100) + ",1024,16777215);";
        }
        test::RunSql(vars.DBPath, sql + "COMMIT;");
    }
    // The engine's load of the file: wall and processor milliseconds.
    std::pair<double, double> LoadMs() {
        const auto [wall, cpu] = Timed([this] { disk.LoadAutomationDB(); });
        if (vars.EventCount != Rows)
            throw std::runtime_error("the engine's load failed");
        return {wall, cpu};
    }
    // Wall and processor milliseconds of work (the machine is shared, so both are shown).
    template <class Work>
    static std::pair<double, double> Timed(Work work) {
        auto cpuNow = [] {
            timespec t{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
            return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
        };
        const double c0 = cpuNow();
        const auto t0 = std::chrono::steady_clock::now();
        work();
        const auto t1 = std::chrono::steady_clock::now();
        return {std::chrono::duration<double, std::milli>(t1 - t0).count(), cpuNow() - c0};
    }
};

// Runs work once per iteration; after each, outside the timing, the engine's load for the floor.
template <class Work>
void WithFloor(benchmark::State& state, WeekFile& f, Work work) {
    double floorWall = 0, floorCpu = 0, wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto [w, c] = WeekFile::Timed(work);
        wall += w;
        cpu += c;
        state.PauseTiming();
        const auto [fw, fc] = f.LoadMs();
        floorWall += fw;
        floorCpu += fc;
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_load_ms"] = floorWall / n;
    state.counters["ratio"] = wall / floorWall;
    state.counters["floor_load_cpu_ms"] = floorCpu / n;
    state.counters["cpu_ratio"] = cpu / floorCpu;
}

void BM_Check(benchmark::State& state) {
    WeekFile f;
    WithFloor(state, f, [&] {
        Database db = f.engine.OpenDatabase(f.vars.DBPath);
        const CheckReport r = CheckEventDatabase(db, f.vars.AppDir);
        if (r.Rows != Rows || !r.Problems.empty())
            throw std::runtime_error("check found problems in a clean file");
    });
}
BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Arg 1: with the 32 skip and one-time markings (each makes the engine walk the whole table in
// the file, as it does in service); arg 0: without them.
void BM_Preview7Days(benchmark::State& state) {
    WeekFile f(state.range(0) != 0);
    WithFloor(state, f, [&] {
        const auto r =
            schedule::RunPreview(f.vars.DBPath, {LocalDateTime{2026, 12, 7, 0, 0, 0, 0}, 7});
        if (r.Runs.size() != Rows)
            throw std::runtime_error("the preview does not list every row once: " +
                                     std::to_string(r.Runs.size()));
    });
}
BENCHMARK(BM_Preview7Days)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

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

// The program as an operator runs it, beside the floor: the sqlite3 shell reading every row of
// Automation. Both are timed each iteration, in turn; the figures are per run.
void BM_PreviewProgramBesideSqliteShell(benchmark::State& state) {
    WeekFile f;
    const std::string tool = std::string(QTX_BINARY_DIR) + "/apps/qtx-eventdb/qtx-eventdb";
    double tool_ms = 0, shell_ms = 0;
    for (auto _ : state) {
        tool_ms += ChildCpuMs(
            {tool, "preview", f.vars.DBPath, "--from", "2026-12-07 00:00:00", "--days", "7"});
        shell_ms += ChildCpuMs({"sqlite3", f.vars.DBPath, "SELECT * FROM Automation"});
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["preview_cpu_ms"] = tool_ms / n;
    state.counters["floor_sqlite3_cpu_ms"] = shell_ms / n;
    state.counters["cpu_ratio"] = tool_ms / shell_ms;
    std::printf(
        "qtx-eventdb preview --days 7: %.0f ms CPU, floor sqlite3 'SELECT * FROM "
        "Automation': %.0f ms CPU, ratio %.2fx\n",
        tool_ms / n, shell_ms / n, tool_ms / shell_ms);
}
BENCHMARK(BM_PreviewProgramBesideSqliteShell)->Unit(benchmark::kMillisecond)->Iterations(5);

// Runs a program with its output to out (or /dev/null); returns wall milliseconds and sets cpu
// to the processor milliseconds (user and system) it took.
double ChildMs(const std::vector<std::string>& args, double& cpu, const std::string& out = "") {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        (void)!std::freopen(out.empty() ? "/dev/null" : out.c_str(), "w", stdout);
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
    cpu = ms(usage.ru_utime) + ms(usage.ru_stime);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Processor milliseconds a process has used so far (user and system, from /proc).
double ProcessCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stod(f);
        if (i == 15)
            stime = std::stod(f);
    }
    return (utime + stime) * 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The 32767 rows imported into an empty file four ways, each in turn every iteration: the floor,
// the sqlite3 shell reading them as INSERT statements (every column) between BEGIN and COMMIT;
// `qtx-eventdb import` of the CSV that `export` writes, in both forms; POST /api/import of that
// CSV, and of the JSON list GET /api/events gives, to the real console. Wall and processor time.
void BM_ImportBesideSqliteShell(benchmark::State& state) {
    WeekFile f(false);
    const std::string tool = std::string(QTX_BINARY_DIR) + "/apps/qtx-eventdb/qtx-eventdb";
    const std::string dir = f.vars.AppDir, csv = dir + "rows.csv", sql = dir + "rows.sql";
    const std::string empty = dir + "empty.mdb", target = dir + "target/QTXAutomation.mdb";
    test::MakeEventDb(empty);
    std::filesystem::create_directories(dir + "target");
    double cpu = 0;
    ChildMs({tool, "export", f.vars.DBPath, csv}, cpu);
    ChildMs({tool, "export", f.vars.DBPath, dir + "events.csv", "--events"}, cpu);
    {
        std::ofstream out(sql);
        out << "BEGIN;\n";
    }
    ChildMs(
        {"sqlite3", "-cmd", ".mode insert Automation", f.vars.DBPath, "SELECT * FROM Automation"},
        cpu, sql + ".rows");
    {
        std::ofstream out(sql, std::ios::app);
        std::ifstream rows(sql + ".rows");
        out << rows.rdbuf() << "COMMIT;\n";
    }
    auto fresh = [&] {
        std::filesystem::copy_file(empty, target + ".new",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(target + ".new", target);
    };
    auto count = [&] { return test::QueryOne(target, "SELECT count(*) FROM Automation"); };

    fresh();
    test::RunConsoleTool({"add-user", "bench", "--role", "operator", "--folder", dir + "target/"},
                         "bench password\n");
    test::ConsoleProcess console(dir + "target/");
    test::ApiClient client(console.Port());
    client.Login("bench", "bench password");
    std::string csvText, jsonText;
    {
        std::ifstream in(csv, std::ios::binary);
        csvText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        test::ApiClient reader(console.Port());
        reader.Login("bench", "bench password");
        std::filesystem::copy_file(f.vars.DBPath, target + ".new",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(target + ".new", target);
        jsonText = reader.Send("GET", "/api/events")->body;
    }
    auto post = [&](const std::string& body, const char* type, double& cpuMs) {
        const double c0 = ProcessCpuMs(console.Pid());
        const auto t0 = std::chrono::steady_clock::now();
        auto r = client.PostAs("/api/import", body, type);
        const double wall =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        cpuMs = ProcessCpuMs(console.Pid()) - c0;
        if (!r || r->status != 200)
            throw std::runtime_error("POST /api/import failed: " + (r ? r->body : "no answer"));
        return wall;
    };

    enum { Shell, Tool, ToolEvents, ApiCsv, ApiJson, Ways };
    const char* names[Ways] = {"floor: sqlite3 shell, INSERTs in one transaction",
                               "qtx-eventdb import (row-form CSV)",
                               "qtx-eventdb import (event-form CSV)", "POST /api/import text/csv",
                               "POST /api/import application/json"};
    double wall[Ways] = {}, cpus[Ways] = {};
    for (auto _ : state) {
        for (int way = 0; way < Ways; ++way) {
            state.PauseTiming();
            fresh();
            state.ResumeTiming();
            double c = 0, w = 0;
            if (way == Shell)
                w = ChildMs({"sqlite3", target, ".read " + sql}, c);
            else if (way == Tool || way == ToolEvents)
                w = ChildMs({tool, "import", target, way == Tool ? csv : dir + "events.csv"}, c);
            else
                w = post(way == ApiCsv ? csvText : jsonText,
                         way == ApiCsv ? "text/csv" : "application/json", c);
            wall[way] += w;
            cpus[way] += c;
            state.PauseTiming();
            if (count() != std::to_string(Rows))
                throw std::runtime_error(std::string(names[way]) + " did not store every row");
            state.ResumeTiming();
        }
    }
    const double n = static_cast<double>(state.iterations());
    std::printf("import of %d rows (CSV %.1f MiB, JSON %.1f MiB), per run:\n", Rows,
                static_cast<double>(csvText.size()) / (1 << 20),
                static_cast<double>(jsonText.size()) / (1 << 20));
    for (int way = 0; way < Ways; ++way) {
        std::printf("  %-50s %7.0f ms wall %7.0f ms CPU", names[way], wall[way] / n, cpus[way] / n);
        if (way != Shell)
            std::printf("   ratio %.2fx wall, %.2fx CPU", wall[way] / wall[Shell],
                        cpus[way] / cpus[Shell]);
        std::printf("\n");
    }
    state.counters["floor_sqlite3_ms"] = wall[Shell] / n;
    state.counters["tool_ratio"] = wall[Tool] / wall[Shell];
    state.counters["tool_events_ratio"] = wall[ToolEvents] / wall[Shell];
    state.counters["api_csv_ratio"] = wall[ApiCsv] / wall[Shell];
    state.counters["api_json_ratio"] = wall[ApiJson] / wall[Shell];
}
BENCHMARK(BM_ImportBesideSqliteShell)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace qtx

BENCHMARK_MAIN();
