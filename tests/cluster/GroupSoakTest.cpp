// Two real engines in one group, an event a second, a failover every 30 s by a rotating fault
// (the leader killed, the leader stopped past its lease, the leader's switcher link cut, an
// etcd member lost) and an edit on a random member every 10 s: every occurrence reaches a
// switcher at most once and is either run or reported, and both files agree at the end.
// QTX_SOAK_SECONDS sets the length (120 when unset).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Format.h"
#include "fixtures/EngineGroup.h"
#include "fixtures/EtcdCluster.h"
#include "fixtures/EventDb.h"
#include "fixtures/LinkCut.h"
#include "fixtures/WallClock.h"

namespace qtx::test {
namespace {

constexpr int kLease = 2;
constexpr int kLead = 12;        // seconds from the start to the first event
constexpr int kFaultEvery = 30;  // seconds
constexpr int kEditEvery = 10;   // seconds
constexpr int kLinkAlarmAfter = 2;

// "#" ends the number, so that one title never holds another's.
std::string Title(int n) {
    return "ev" + std::to_string(n) + "#";
}

int SoakSeconds() {
    const char* s = std::getenv("QTX_SOAK_SECONDS");
    return s && std::atoi(s) > 0 ? std::atoi(s) : 120;
}

// One member: its engine, its own simulator and the link between them that can be cut.
struct Member {
    CountingSim sim;
    LinkCut link{sim.Port()};
    EngineProcess engine;
};

std::string Schedule(const EngineProcess& e) {
    std::string out;
    for (const std::string& row :
         QueryColumn(e.File("QTXAutomation.mdb"),
                     "SELECT Number || '|' || Title || '|' || Active || '|' || Time "
                     "FROM Automation ORDER BY Number"))
        out += row + "\n";
    return out;
}

TEST(GroupSoak, FailoversAndEditsLoseNothingDoubleNothingAndTheFilesAgree) {
    QTX_REQUIRE_ETCD();
    const int seconds = SoakSeconds();
    const LocalDateTime now = SystemClock().Now();
    const int first = now.SecondsOfDay() + kLead;
    if (first + seconds + 60 >= 86400)
        GTEST_SKIP() << "too close to midnight for the soak";
    EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    Member members[2];
    const char* nodes[2] = {"main", "backup"};

    std::vector<EventRow> rows;
    for (int n = 1; n <= seconds; ++n) {
        auto row = Event(n, now.MondayIndex(), FormatHhMmSs(first + n - 1), Title(n));
        row["scontrol"] = 1;
        row["Salvo"] = n;
        rows.push_back(row);
    }
    rows.push_back(Event(seconds + 1, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
    for (int i = 0; i < 2; ++i) {
        EngineHarness h(now);
        h.WriteDatabase(rows, "127.0.0.1", members[i].link.Port());
        RunSql(h.Db(),
               "CREATE TABLE IF NOT EXISTS Settings (Name TEXT PRIMARY KEY COLLATE "
               "NOCASE, Value TEXT); INSERT OR REPLACE INTO Settings VALUES "
               "('LinkAlarmAfter', '" +
                   std::to_string(kLinkAlarmAfter) + "')");
        EngineProcess& e = members[i].engine;
        WriteWholeFile(e.File("QTXAutomation.mdb"), ReadWholeFile(h.Db()));
        e.JoinGroup("soak", nodes[i], etcd.Endpoints(), kLease);
    }
    members[0].engine.Start();
    ASSERT_TRUE(WaitFor([&] { return members[0].engine.LastRole() == "Role: leader"; }, 8000))
        << members[0].engine.Output();
    members[1].engine.Start();
    ASSERT_TRUE(WaitFor(
        [&] { return members[1].engine.LastRole() == "Role: standby (leader: main)"; }, 8000))
        << members[1].engine.Output();

    const int64_t startMs = LocalSecondToEpochMs(now, first);
    auto sleepUntil = [&](int64_t offsetMs) {
        const int64_t wait = startMs + offsetMs - ToEpochMs(SystemClock().Now());
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    };
    auto leader = [&]() -> int {
        for (int i = 0; i < 2; ++i)
            if (members[i].engine.Running() && members[i].engine.LastRole() == "Role: leader")
                return i;
        return -1;
    };

    // Each step is a moment (ms after the first event) and what happens then; faults are mended
    // or undone 10 s after they begin.
    std::mt19937 random(static_cast<unsigned>(now.SecondsOfDay()));
    std::vector<std::string> edits;
    int faults = 0;
    for (int64_t at = kEditEvery * 1000; at < seconds * 1000; at += kEditEvery * 1000) {
        const int tick = static_cast<int>(at / 1000);
        // A fault strikes half-way between two runs: a frame already on its way when a cable
        // is pulled is lost to any switcher, and no engine can tell.
        sleepUntil(tick % kFaultEvery == 0 ? at + 500 : at);
        if (tick % kFaultEvery == 0) {
            const int l = leader();
            if (l < 0)
                continue;
            Member& m = members[l];
            switch (faults++ % 4) {
                case 0:
                    m.engine.Kill(SIGKILL);
                    std::this_thread::sleep_for(std::chrono::seconds(8));
                    m.engine.Start();
                    break;
                case 1:
                    m.engine.Signal(SIGSTOP);
                    std::this_thread::sleep_for(std::chrono::seconds(2 * kLease + 1));
                    m.engine.Signal(SIGCONT);
                    break;
                case 2:
                    m.link.Cut();
                    std::this_thread::sleep_for(std::chrono::seconds(10));
                    m.link.Mend();
                    break;
                case 3: {
                    const int member = faults % EtcdCluster::kMembers;
                    etcd.Kill(member);
                    std::this_thread::sleep_for(std::chrono::seconds(10));
                    EXPECT_TRUE(etcd.Restart(member));
                    break;
                }
            }
            continue;
        }
        // An edit of an event still 8 s or more ahead, on a member that is running.
        const int n = tick + 8 + static_cast<int>(random() % 5);
        const int on = static_cast<int>(random() % 2);
        if (n > seconds || !members[on].engine.Running())
            continue;
        const std::string title = Title(n) + " edited on " + nodes[on];
        RunSql(members[on].engine.File("QTXAutomation.mdb"),
               "UPDATE Automation SET Title = '" + title + "' WHERE Number = " + std::to_string(n));
        edits.push_back(title);
    }
    sleepUntil((seconds + kLease + 4) * 1000);

    int late = 0;
    int64_t worstMs = 0;
    for (int n = 1; n <= seconds; ++n) {
        const size_t count = members[0].sim.Count(n) + members[1].sim.Count(n);
        EXPECT_LE(count, 1u) << Title(n) << " ran twice";
        if (count == 0) {
            bool reported = false;
            for (const Member& m : members)
                reported = reported || m.engine.Errors().find(Title(n)) != std::string::npos;
            EXPECT_TRUE(reported) << Title(n) << " never ran and nobody reported it";
            continue;
        }
        for (const Member& m : members) {
            for (int64_t arrived : m.sim.Arrivals(n)) {
                const int64_t lateMs = arrived - (startMs + (n - 1) * 1000);
                worstMs = std::max(worstMs, lateMs);
                late += lateMs > 1000;
            }
        }
    }
    ASSERT_TRUE(
        WaitFor([&] { return Schedule(members[0].engine) == Schedule(members[1].engine); }, 5000))
        << "the members' files differ";
    const std::string schedule = Schedule(members[0].engine);
    for (const std::string& title : edits)
        EXPECT_NE(schedule.find(title), std::string::npos) << title << " was lost";
    std::printf(
        "soak: %d s, %d events, %d faults, %zu edits, %d runs over a second late, "
        "latest by %lld ms\n",
        seconds, seconds, faults, edits.size(), late, static_cast<long long>(worstMs));
}

}  // namespace
}  // namespace qtx::test
