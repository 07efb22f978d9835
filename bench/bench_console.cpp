// The console's costs, each beside its floor measured in the same run:
//  - GET /api/events of a 32767-record file through the real qtx-console process, beside the
//    floor: the sqlite3 shell writing the same rows, every column, as JSON (a child process,
//    its output read whole); for orientation also the least work in this process: a plain
//    sqlite3_step loop writing each row with the JSON library in one pass;
//  - the time a console read of 10,000 events holds the file (its read transaction: the copy of
//    the rows) and the whole read (copy and conversion into events), beside the floor: a plain
//    sqlite3_step loop over every column of every row in one transaction;
//  - the engine's event lateness (real clock, the simulator in its own thread, the engine with
//    its state channel) while 20 clients poll the API and hold status streams, beside the
//    lateness of the same engine without them.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <map>
#include <thread>

#include "common/Format.h"
#include "console/ConsoleProcess.h"
#include "console/EventJson.h"
#include "database/DBEngine.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"
#include "fixtures/WallClock.h"
#include "schedule/EventStore.h"
#include "switcher/ByteManipulation.h"
#include "switcher/sim/SwitcherSim.h"
#include "ui/StateChannel.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* kPassword = "bench password";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1,
                      static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

void AddUser(const std::string& folder) {
    qtx::test::RunConsoleTool({"add-user", "bench", "--role", "admin", "--folder", folder},
                              std::string(kPassword) + "\n");
}

// The sqlite3 shell's JSON of a query (sqlite3 -json FILE SQL), read whole from its output.
std::string ShellJson(const std::string& path, const std::string& sql) {
    const std::string command = "sqlite3 -json '" + path + "' '" + sql + "'";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The rows of a query as a JSON list of objects, every column, each row written as it is
// stepped.
std::string StepJson(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    const int n = sqlite3_column_count(st);
    std::string out = "[";
    nlohmann::json row = nlohmann::json::object();
    while (sqlite3_step(st) == SQLITE_ROW) {
        for (int c = 0; c < n; ++c) {
            nlohmann::json& v = row[sqlite3_column_name(st, c)];
            switch (sqlite3_column_type(st, c)) {
                case SQLITE_INTEGER:
                    v = sqlite3_column_int64(st, c);
                    break;
                case SQLITE_FLOAT:
                    v = sqlite3_column_double(st, c);
                    break;
                case SQLITE_NULL:
                    v = nullptr;
                    break;
                default:
                    v = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                    static_cast<size_t>(sqlite3_column_bytes(st, c)));
            }
        }
        if (out.size() > 1)
            out += ',';
        out += row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    out += ']';
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

void BM_GetEvents32767(benchmark::State& state) {
    qtx::test::TempDir dir;
    std::string db = dir.File("QTXAutomation.mdb");
    qtx::test::MakeEventDb(db);
    qtx::test::RunSql(
        db,
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32767) "
        "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, "
        "DestChan) SELECT i, i % 7, printf('%02d:%02d:%02d', i % 24, i % 60, i % 59), "
        "'Event number ' || i, 1, 1, 1 + i % 16, 1 + i % 8 FROM n");
    AddUser(dir.Path());
    qtx::test::ConsoleProcess console(dir.Path());
    qtx::test::ApiClient client(console.Port());
    client.Login("bench", kPassword);
    std::vector<double> api, floor, step;
    size_t bytes = 0, shellBytes = 0;
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            auto t0 = Clock::now();
            auto r = client.Send("GET", "/api/events");
            api.push_back(Ms(Clock::now() - t0));
            if (!r || r->status != 200) {
                state.SkipWithError("GET /api/events failed");
                return;
            }
            bytes = r->body.size();

            t0 = Clock::now();
            const std::string shell = ShellJson(db, "SELECT * FROM Automation");
            floor.push_back(Ms(Clock::now() - t0));
            shellBytes = shell.size();

            t0 = Clock::now();
            std::string text = StepJson(db, "SELECT * FROM Automation");
            step.push_back(Ms(Clock::now() - t0));
            benchmark::DoNotOptimize(text);
        }
    }
    state.counters["api_ms"] = Median(api);
    state.counters["sqlite3_json_ms"] = Median(floor);
    state.counters["ratio"] = Median(api) / Median(floor);
    state.counters["step_json_ms"] = Median(step);
    state.counters["shell_MB"] = static_cast<double>(shellBytes) / 1e6;
    state.counters["body_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_GetEvents32767)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every column of every row in one read transaction, stepped and read with plain SQLite.
void StepEveryColumn(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM Automation ORDER BY rowid", -1, &st, nullptr);
    const int n = sqlite3_column_count(st);
    int64_t sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
        for (int c = 0; c < n; ++c)
            sum += sqlite3_column_type(st, c) == SQLITE_TEXT ? sqlite3_column_bytes(st, c)
                                                             : sqlite3_column_int64(st, c);
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    benchmark::DoNotOptimize(sum);
}

void BM_ReadHold10000(benchmark::State& state) {
    qtx::test::TempDir dir;
    std::string db = dir.File("QTXAutomation.mdb");
    qtx::test::MakeEventDb(db);
    qtx::test::RunSql(
        db,
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
        "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, "
        "DestChan) SELECT i, i % 7, printf('%02d:%02d:%02d', i % 24, i % 60, i % 59), "
        "'Event number ' || i, 1, 1, 1 + i % 16, 1 + i % 8 FROM n");
    std::vector<double> hold, whole, floor;
    for (auto _ : state) {
        for (int round = 0; round < 9; ++round) {
            qtx::DBEngine engine;
            qtx::Database d = engine.OpenDatabase(db);
            auto t0 = Clock::now();
            d.BeginRead();
            qtx::RawTable table = d.CopyTable("Automation");
            d.CommitTrans();
            hold.push_back(Ms(Clock::now() - t0));
            benchmark::DoNotOptimize(table);
            t0 = Clock::now();
            auto events = qtx::schedule::ReadEvents(d);
            whole.push_back(Ms(Clock::now() - t0));
            benchmark::DoNotOptimize(events);
            t0 = Clock::now();
            StepEveryColumn(db);
            floor.push_back(Ms(Clock::now() - t0));
        }
    }
    state.counters["hold_ms"] = Median(hold);
    state.counters["read_ms"] = Median(whole);
    state.counters["floor_ms"] = Median(floor);
    state.counters["ratio"] = Median(hold) / Median(floor);
}
BENCHMARK(BM_ReadHold10000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Events one a second: the first kQuiet without clients, then the same number with 20 clients.
void BM_LatenessWithTwentyClients(benchmark::State& state) {
    constexpr int kQuiet = 12, kBusy = 12, kGap = 3;
    for (auto _ : state) {
        qtx::SystemClock clock;
        qtx::LocalDateTime now = clock.Now();
        const int first = now.SecondsOfDay() + 3;
        const int busyFirst = first + kQuiet + kGap;
        if (busyFirst + kBusy + 5 >= 86400) {
            state.SkipWithError("too close to midnight");
            return;
        }
        qtx::PollEventLoop simLoop;
        std::promise<int> port;
        std::vector<qtx::sim::ReceivedFrame> frames;
        std::thread simThread([&] {
            qtx::sim::SwitcherSim sim(simLoop);
            port.set_value(sim.Listen());
            simLoop.Run();
            frames = sim.Frames();
        });
        qtx::test::EngineHarness h{now};
        std::vector<qtx::test::EventRow> rows;
        int n = 0;
        for (int s = first; s < busyFirst + kBusy; ++s) {
            if (s >= first + kQuiet && s < busyFirst)
                continue;
            auto row = qtx::test::Event(++n, now.MondayIndex(), qtx::FormatHhMmSs(s),
                                        "e" + std::to_string(s));
            row["scontrol"] = 1;
            row["Salvo"] = s - first + 1;
            rows.push_back(row);
        }
        rows.push_back(qtx::test::Event(++n, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
        h.WriteDatabase(rows, "127.0.0.1", port.get_future().get());
        AddUser(h.dir.Path());

        qtx::StateChannel channel(h.view, h.realLoop, h.dir.Path());
        channel.Open();
        qtx::Engine engine(clock, h.realLoop, channel, h.dir.Path());
        engine.Form_Load();
        auto console = std::make_unique<qtx::test::ConsoleProcess>(h.dir.Path());
        int consolePort = console->Port();

        std::atomic<bool> load{false}, stop{false};
        std::atomic<long> requests{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 20; ++c)
            clients.emplace_back([&, c] {
                qtx::test::ApiClient client(consolePort);
                while (!load && !stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                client.Login("bench", kPassword);
                if (c % 2 == 0) {  // a status stream, read as it comes
                    qtx::test::HttpClient http("127.0.0.1", consolePort);
                    http.Get("/api/status/stream", {{"Cookie", client.Cookie()}},
                             [&](const char*, size_t) {
                                 ++requests;
                                 return !stop.load();
                             });
                } else {  // polling the state, the events and the logs
                    while (!stop) {
                        client.Send("GET", "/api/status");
                        client.Send("GET", "/api/events");
                        client.Send("GET", "/api/activity?lines=50");
                        requests += 3;
                    }
                }
            });
        h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + kQuiet; },
                            (kQuiet + 5) * 1000);
        load = true;
        h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= busyFirst + kBusy; },
                            (kGap + kBusy + 5) * 1000);
        h.realLoop.RunFor(200);
        stop = true;
        console.reset();  // ends the streams
        for (auto& t : clients)
            t.join();
        engine.Form_Terminate();
        simLoop.Stop();
        simThread.join();

        std::map<int, int64_t> arrival;
        for (const auto& f : frames)
            if (static_cast<uint8_t>(f.Bytes[0]) == 0xEA &&
                !arrival.count(qtx::WordAt(f.Bytes, 2) + 1))
                arrival[qtx::WordAt(f.Bytes, 2) + 1] = f.TimeMs;
        std::vector<double> quiet, busy;
        for (const auto& [salvo, at] : arrival) {
            int second = first + salvo - 1;
            double late = static_cast<double>(at - qtx::test::LocalSecondToEpochMs(now, second));
            (second < first + kQuiet ? quiet : busy).push_back(late);
        }
        if (quiet.size() < kQuiet - 1 || busy.size() < kBusy - 1) {
            state.SkipWithError("events did not arrive");
            return;
        }
        state.counters["quiet_p50_ms"] = Percentile(quiet, 0.5);
        state.counters["quiet_max_ms"] = *std::max_element(quiet.begin(), quiet.end());
        state.counters["busy_p50_ms"] = Percentile(busy, 0.5);
        state.counters["busy_max_ms"] = *std::max_element(busy.begin(), busy.end());
        state.counters["p50_ratio"] = Percentile(busy, 0.5) / std::max(1.0, Percentile(quiet, 0.5));
        state.counters["client_requests"] = static_cast<double>(requests.load());
    }
}
BENCHMARK(BM_LatenessWithTwentyClients)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
