// The engine's skip and one-time writes while console clients read the whole week: the real
// engine (in this process, on its test clock) and the real qtx-console on 127.0.0.1 share one
// program folder of 10,000 events; six clients read GET /api/events in a loop while the engine
// consumes its markings and picks up an outside edit and a console edit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "console/ConsoleFixture.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"

namespace qtx::test {
namespace {

using nlohmann::json;

constexpr int kEvents = 10000;
constexpr int kReaders = 6;
constexpr int kMarkings = 8;  // at 09:00:01 .. 09:00:08 on Monday: skip, one-time, skip, ...

// Clients reading the whole event list in a loop, on one session, until stopped.
class Readers {
  public:
    Readers(int port, const std::string& cookie, int count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, port, cookie] {
                ApiClient client(port);
                client.Cookie() = cookie;
                while (!stop_) {
                    auto r = client.Send("GET", "/api/events");
                    ++(r && r->status == 200 ? reads : failed);
                }
            });
    }
    ~Readers() { Stop(); }
    void Stop() {
        stop_ = true;
        for (std::thread& t : threads_)
            if (t.joinable())
                t.join();
    }
    std::atomic<int> reads{0}, failed{0};

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

std::string Title(EngineHarness& h, int number) {
    for (int i = 0; i < h.vars().EventCount; ++i)
        if (h.vars().EventTable[static_cast<size_t>(i)].Number == number)
            return h.vars().EventTable[static_cast<size_t>(i)].Title;
    return "";
}

bool IsSkip(int i) {
    return i % 2 == 0;
}

TEST(MarkingsUnderReaders, SixReadersOfTenThousandEventsCostTheEngineNoMarking) {
    EngineHarness h{{2026, 12, 7, 8, 59, 0, 0}};  // a Monday
    std::vector<EventRow> rows;
    for (int n = 1; n <= kEvents; ++n) {
        char time[16];
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", 10 + n / 3600, n / 60 % 60, n % 60);
        rows.push_back(Event(n, 3, time, "thursday " + std::to_string(n)));
    }
    for (int i = 0; i < kMarkings; ++i)
        rows.push_back(With(Event(kEvents + 1 + i, 0, "09:00:0" + std::to_string(i + 1),
                                  "mark " + std::to_string(i)),
                            {{"Active", IsSkip(i) ? 2 : 3}}));
    h.WriteDatabase(rows);
    ASSERT_EQ(RunConsoleTool({"add-user", "op", "--role", "operator", "--folder", h.dir.Path()},
                             std::string(kPassword) + "\n"),
              0);
    h.Start();
    h.MarkSwitcherUp();
    ASSERT_EQ(h.vars().EventCount, kEvents + kMarkings);
    const std::string db = h.dir.File("QTXAutomation.mdb");

    ConsoleProcess console(h.dir.Path());
    ApiClient op(console.Port());
    ASSERT_EQ(op.Login("op", kPassword)->status, 200);
    Readers readers(console.Port(), op.Cookie(), kReaders);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readers.reads < kReaders && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    // Two ticks a second; the watch runs at every third tick (1.5 s).
    int ticks = 0;
    auto tickSecond = [&](int second) {
        for (int ms : {5, 505}) {
            h.TickAt(9, 0, second, ms);
            ++ticks;
        }
    };
    auto untilWatched = [&](int second) {
        const int watchAt = (ticks / 3 + 1) * 3;
        while (ticks < watchAt) {
            h.TickAt(9, 0, second, 900 + ticks % 3);
            ++ticks;
        }
    };
    for (int s = 1; s <= kMarkings; ++s) {
        tickSecond(s);
        if (s == 3) {
            RunSql(
                db,
                "UPDATE Automation SET Title = 'outside' WHERE Number = 1");  // as another program
            untilWatched(s);
            EXPECT_EQ(Title(h, 1), "outside");  // an outside edit: picked up at the next watch
        }
        if (s == 5) {
            auto got = op.Send("GET", "/api/events/2");
            ASSERT_TRUE(got && got->status == 200);
            json e = json::parse(got->body);
            e["title"] = "console";
            auto put = op.Json("PUT", "/api/events/2", e);
            ASSERT_TRUE(put);
            EXPECT_EQ(put->status, 200) << put->body;
            untilWatched(s);
            EXPECT_EQ(Title(h, 2), "console");  // a console edit, the same way
        }
    }
    tickSecond(9);
    untilWatched(9);
    readers.Stop();

    int consumed = 0;
    for (int i = 0; i < kMarkings; ++i) {
        const std::string number = std::to_string(kEvents + 1 + i);
        consumed +=
            IsSkip(i)
                ? QueryOne(db, "SELECT Active FROM Automation WHERE Number = " + number) == "1"
                : QueryOne(db, "SELECT count(*) FROM Automation WHERE Number = " + number) == "0";
    }
    std::printf("markings consumed with %d readers on %d events: %d of %d (%d reads)\n", kReaders,
                kEvents, consumed, kMarkings, readers.reads.load());
    EXPECT_EQ(consumed, kMarkings);
    // No error entry but the polls' (the switcher links are marked up with nothing behind them).
    for (const std::string& line : h.ErrorLines())
        EXPECT_NE(line.find("Error sending to switcher"), std::string::npos) << line;
    // Each marked event came up once: skipped or run, never twice.
    std::vector<std::string> history;
    for (const auto& row : h.view.HistoryRows)
        history.push_back(row.Title);
    for (int i = 0; i < kMarkings; ++i) {
        const std::string title =
            "mark " + std::to_string(i) + (IsSkip(i) ? " - Not Executed" : "");
        EXPECT_EQ(std::count(history.begin(), history.end(), title), 1) << title;
    }
    EXPECT_EQ(Title(h, 1), "outside");
    EXPECT_EQ(Title(h, 2), "console");
    EXPECT_EQ(readers.failed, 0);
    EXPECT_GE(readers.reads, kReaders);
}

}  // namespace
}  // namespace qtx::test
