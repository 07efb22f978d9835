// Two real engines in one group on a real three-member etcd, against one simulator that counts
// every salvo: across each fault, every occurrence runs exactly once, or was claimed by an
// engine that died mid-run and is reported by the one that took over.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "fixtures/EngineGroup.h"
#include "fixtures/EtcdCluster.h"
#include "fixtures/WallClock.h"

namespace qtx::test {
namespace {

constexpr int kLease = 2;

std::string Title(int salvo) {
    return "ev" + std::to_string(salvo);
}

// An event a second from `lead` seconds from now, each firing salvo 1, 2, ...; chainAt > 0 adds
// five events at that offset from the first that share its second (salvos 101..105).
class GroupScene {
  public:
    GroupScene(int events, int lead = 10, int chainAt = 0) : events_(events) {
        now_ = SystemClock().Now();
        first_ = now_.SecondsOfDay() + lead;
        tooLate_ = first_ + events + 60 >= 86400;
        std::vector<EventRow> rows;
        auto salvo = [&](int n, int second) {
            auto row = Event(n, now_.MondayIndex(), FormatHhMmSs(second), Title(n));
            row["scontrol"] = 1;
            row["Salvo"] = n;
            rows.push_back(row);
        };
        for (int i = 1; i <= events; ++i) {
            salvo(i, first_ + i - 1);
            if (chainAt > 0 && i == chainAt)
                for (int c = 101; c <= 105; ++c)
                    salvo(c, first_ + chainAt - 1);
        }
        rows.push_back(Event(999, (now_.MondayIndex() + 1) % 7, "12:00:00", "next day"));
        EngineHarness h(now_);
        h.WriteDatabase(rows, "127.0.0.1", sim.Port());
        for (EngineProcess* e : {&a, &b})
            WriteWholeFile(e->File("QTXAutomation.mdb"), ReadWholeFile(h.Db()));
    }

    bool NearMidnight() const { return tooLate_; }
    // Starts a, waits for it to lead, then b as its standby; both linked to the simulator.
    ::testing::AssertionResult StartBoth() {
        a.JoinGroup("studio1", "main", etcd.Endpoints(), kLease);
        b.JoinGroup("studio1", "backup", etcd.Endpoints(), kLease);
        a.Start();
        if (!WaitFor([&] { return a.LastRole() == "Role: leader"; }, 8000))
            return ::testing::AssertionFailure() << "main never led: " << a.Output();
        b.Start();
        if (!WaitFor([&] { return b.LastRole() == "Role: standby (leader: main)"; }, 8000))
            return ::testing::AssertionFailure() << "backup never stood by: " << b.Output();
        if (!WaitFor([&] { return sim.Clients() >= 2; }, 5000))
            return ::testing::AssertionFailure() << "the engines did not both link";
        return ::testing::AssertionSuccess();
    }
    // Sleeps until `offset` seconds (and ms) after the first event's second.
    void SleepUntil(int offset, int ms = 0) const {
        const int64_t at = LocalSecondToEpochMs(now_, first_ + offset) + ms;
        const int64_t wait = at - ToEpochMs(SystemClock().Now());
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    void WaitPastTheLast(int extraSeconds = kLease + 3) const {
        SleepUntil(events_ + extraSeconds);
    }
    // Every salvo arrived at most once, and one that never arrived is reported by a survivor.
    void ExpectEachOnceOrReported(const std::vector<int>& salvos,
                                  const std::vector<const EngineProcess*>& survivors) const {
        for (int n : salvos) {
            const size_t count = sim.Count(n);
            EXPECT_LE(count, 1u) << Title(n) << " ran twice";
            if (count == 0) {
                bool reported = false;
                for (const EngineProcess* e : survivors)
                    reported = reported || e->Errors().find(Title(n)) != std::string::npos;
                EXPECT_TRUE(reported) << Title(n) << " never ran and nobody reported it";
            }
        }
    }
    std::vector<int> All() const {
        std::vector<int> v;
        for (int i = 1; i <= events_; ++i)
            v.push_back(i);
        return v;
    }
    int64_t DueMs(int salvo) const { return LocalSecondToEpochMs(now_, first_ + salvo - 1); }

    EtcdCluster etcd;
    CountingSim sim;
    EngineProcess a, b;

  private:
    int events_;
    LocalDateTime now_;
    int first_ = 0;
    bool tooLate_ = false;
};

#define QTX_GROUP_SCENE(name, ...)                         \
    QTX_REQUIRE_ETCD();                                    \
    GroupScene name(__VA_ARGS__);                          \
    if (name.NearMidnight())                               \
        GTEST_SKIP() << "too close to midnight for a run"; \
    ASSERT_TRUE(name.etcd.Healthy());                      \
    ASSERT_TRUE(name.StartBoth())

TEST(TwoEngines, TheLeaderKilledBetweenTwoEventsTheBackupRunsTheRestOnceWithinTheLease) {
    QTX_GROUP_SCENE(s, 16);
    s.SleepUntil(5, 500);
    const int64_t killedAt = ToEpochMs(SystemClock().Now());
    s.a.Kill(SIGKILL);
    s.WaitPastTheLast();
    for (int n : s.All())
        EXPECT_EQ(s.sim.Count(n), 1u) << Title(n);
    // The first event due after the kill reached the switcher within the lease and a second.
    const auto arrivals = s.sim.Arrivals(7);
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_LE(arrivals[0] - killedAt, (kLease + 1) * 1000);
    EXPECT_EQ(s.b.LastRole(), "Role: leader");
}

TEST(TwoEngines, TheLeaderKilledInTheMiddleOfAChainNothingRunsTwiceAndACutRunIsReported) {
    QTX_GROUP_SCENE(s, 12, 10, /*chainAt=*/6);
    // Killed as soon as the switcher has the chain's second salvo.
    ASSERT_TRUE(WaitFor([&] { return s.sim.Count(102) > 0; }, 20000));
    s.a.Kill(SIGKILL);
    s.WaitPastTheLast();
    std::vector<int> salvos = s.All();
    for (int c = 101; c <= 105; ++c)
        salvos.push_back(c);
    s.ExpectEachOnceOrReported(salvos, {&s.b});
    for (int n = 7; n <= 12; ++n)
        EXPECT_EQ(s.sim.Count(n), 1u) << Title(n);
}

TEST(TwoEngines, ALeaderStoppedPastItsLeaseSendsNothingStaleWhenItResumes) {
    QTX_GROUP_SCENE(s, 16);
    s.SleepUntil(4, 500);
    s.a.Signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(2 * kLease));
    s.a.Signal(SIGCONT);
    s.WaitPastTheLast();
    s.ExpectEachOnceOrReported(s.All(), {&s.a, &s.b});
    EXPECT_EQ(s.b.LastRole(), "Role: leader");
    EXPECT_EQ(s.a.LastRole(), "Role: standby (leader: backup)");
}

TEST(TwoEngines, LosingOneEtcdMemberChangesNothing) {
    QTX_GROUP_SCENE(s, 12);
    s.SleepUntil(3, 500);
    const size_t rolesBefore = s.a.RoleLines().size();
    s.etcd.Kill(0);
    s.WaitPastTheLast();
    for (int n : s.All())
        EXPECT_EQ(s.sim.Count(n), 1u) << Title(n);
    EXPECT_EQ(s.a.RoleLines().size(), rolesBefore) << s.a.Output();
}

TEST(TwoEngines, WithoutQuorumNobodyRunsAndTheMissedRunsGoOnceWhenItReturns) {
    QTX_GROUP_SCENE(s, 16);
    s.SleepUntil(2, 500);
    s.etcd.Kill(1);
    s.etcd.Kill(2);
    const int64_t lostAt = ToEpochMs(SystemClock().Now());
    ASSERT_TRUE(WaitFor(
        [&] {
            return s.a.LastRole().rfind("Role: no leader (", 0) == 0 &&
                   s.b.LastRole().rfind("Role: no leader (", 0) == 0;
        },
        (kLease + 3) * 1000))
        << s.a.Output() << s.b.Output();
    s.SleepUntil(9);
    ASSERT_TRUE(s.etcd.Restart(1));
    ASSERT_TRUE(s.etcd.Restart(2));
    s.WaitPastTheLast(kLease + 6);
    // Nothing due after the lease ran out reached the switcher before quorum was back, and each
    // missed run went once.
    // A claim sent as quorum went may be committed once it is back, after the sender gave the
    // run up: that run is reported, never run twice.
    s.ExpectEachOnceOrReported(s.All(), {&s.a, &s.b});
    for (int n : s.All()) {
        for (int64_t at : s.sim.Arrivals(n)) {
            if (s.DueMs(n) > lostAt + kLease * 1000) {
                EXPECT_GT(at, s.DueMs(10)) << Title(n) << " ran without quorum";
            }
        }
    }
}

TEST(TwoEngines, ABrokenGroupFileRunsNothingUntilItIsMended) {
    QTX_REQUIRE_ETCD();
    GroupScene s(10, 6);
    if (s.NearMidnight())
        GTEST_SKIP() << "too close to midnight for a run";
    ASSERT_TRUE(s.etcd.Healthy());
    s.a.WriteGroupFile("group = studio1\nnode = main\netcd = " + s.etcd.Endpoints() +
                       "\nlease = 11\n");
    s.a.Start();
    ASSERT_TRUE(WaitFor(
        [&] { return s.a.LastRole().rfind("Role: no leader (qtx-cluster.conf: ", 0) == 0; }, 5000))
        << s.a.Output();
    // The error entry follows the role line.
    EXPECT_TRUE(
        WaitFor([&] { return s.a.Errors().find("qtx-cluster.conf") != std::string::npos; }, 2000));
    s.SleepUntil(3, 500);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(s.sim.Count(n), 0u) << Title(n) << " ran without a group";
    s.a.JoinGroup("studio1", "main", s.etcd.Endpoints(), kLease);
    ASSERT_TRUE(WaitFor([&] { return s.a.LastRole() == "Role: leader"; }, 5000)) << s.a.Output();
    s.WaitPastTheLast();
    for (int n : s.All())
        EXPECT_EQ(s.sim.Count(n), 1u) << Title(n);
}

// ---- the group's one schedule ----

void FileExec(const EngineProcess& e, const std::string& sql) {
    DBEngine engine;
    Database db = engine.OpenDatabase(e.File("QTXAutomation.mdb"));
    db.Execute(sql);
}

std::string FileText(const EngineProcess& e, const std::string& sql) {
    DBEngine engine;
    Database db = engine.OpenDatabase(e.File("QTXAutomation.mdb"));
    const DbValue v = db.QueryValue(sql);
    return v.IsNull() ? "(null)" : v.AsText();
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(TwoEngines, AnEditOnTheStandbyReachesTheLeaderWhichRunsItAndTheNextLeaderAfterAKill) {
    QTX_GROUP_SCENE(s, 20);
    FileExec(s.b, "UPDATE Automation SET Salvo = 50 WHERE Number = 12");
    const auto edited = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor(
        [&] { return FileText(s.a, "SELECT Salvo FROM Automation WHERE Number = 12") == "50"; },
        3000))
        << "the edit did not reach the leader's file within 3 s";
    EXPECT_LE(std::chrono::steady_clock::now() - edited, std::chrono::seconds(3));
    // Calendars and date rules travel with the events: today a holiday for event 15.
    const LocalDateTime today = SystemClock().Now();
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", today.Year, today.Month, today.Day);
    for (const std::string& sql :
         {std::string("CREATE TABLE IF NOT EXISTS Calendars (Name TEXT PRIMARY KEY)"),
          std::string("CREATE TABLE IF NOT EXISTS CalendarDates (Calendar TEXT NOT NULL, Date "
                      "TEXT NOT NULL, Title TEXT, PRIMARY KEY (Calendar, Date))"),
          std::string("CREATE TABLE IF NOT EXISTS EventCalendars (Number INTEGER NOT NULL, Kind "
                      "TEXT NOT NULL, Calendar TEXT NOT NULL)"),
          std::string("INSERT INTO Calendars VALUES ('hol')"),
          "INSERT INTO CalendarDates VALUES ('hol', '" + std::string(date) + "', 'Closed')",
          std::string("INSERT INTO EventCalendars VALUES (15, 'except', 'hol')")})
        FileExec(s.b, sql);
    const std::string rule = "SELECT count(*) FROM sqlite_master WHERE name = 'EventCalendars'";
    ASSERT_TRUE(WaitFor(
        [&] {
            return FileText(s.a, rule) == "1" &&
                   FileText(s.a, "SELECT count(*) FROM EventCalendars WHERE Number = 15") == "1" &&
                   FileText(s.a, "SELECT count(*) FROM CalendarDates") == "1";
        },
        3000))
        << "the calendar and the rule did not reach the leader's file within 3 s";
    s.SleepUntil(13);
    // An edit on the standby, and the leader killed at once: the new leader runs the edit.
    FileExec(s.b, "UPDATE Automation SET Salvo = 60 WHERE Number = 18");
    s.a.Kill(SIGKILL);
    s.WaitPastTheLast();
    EXPECT_EQ(s.sim.Count(50), 1u);
    EXPECT_EQ(s.sim.Count(12), 0u);
    EXPECT_EQ(s.sim.Count(60), 1u);
    EXPECT_EQ(s.sim.Count(18), 0u);
    EXPECT_EQ(s.sim.Count(15), 0u) << "run on the group's holiday";
    EXPECT_EQ(s.b.LastRole(), "Role: leader");
}

TEST(TwoEngines, TwoMembersChangingOneEventAtOnceOneWinsOnBothAndTheLoserIsTold) {
    QTX_GROUP_SCENE(s, 14);
    FileExec(s.a, "UPDATE Automation SET Title = 'from main' WHERE Number = 13");
    FileExec(s.b, "UPDATE Automation SET Title = 'from backup' WHERE Number = 13");
    const std::string sql = "SELECT Title FROM Automation WHERE Number = 13";
    ASSERT_TRUE(WaitFor([&] { return FileText(s.a, sql) == FileText(s.b, sql); }, 3000))
        << FileText(s.a, sql) << " / " << FileText(s.b, sql);
    const std::string lost = "lost to another member's";
    ASSERT_TRUE(WaitFor([&] { return Occurrences(s.a.Errors() + s.b.Errors(), lost) == 1; }, 3000))
        << s.a.Errors() << s.b.Errors();
    const EngineProcess& loser = s.a.Errors().find(lost) != std::string::npos ? s.a : s.b;
    const std::string winner = &loser == &s.a ? "from backup" : "from main";
    EXPECT_EQ(FileText(loser, sql), winner);
    const std::string error = loser.Errors();
    EXPECT_NE(error.find("event 13"), std::string::npos) << error;
    EXPECT_NE(error.find(winner), std::string::npos) << error;
    EXPECT_NE(error.find(winner == "from main" ? "from backup" : "from main"), std::string::npos);
    EXPECT_TRUE(WaitFor(
        [&] {
            return ReadWholeFile(loser.File("Alarms.json")).find("edit-overwritten") !=
                   std::string::npos;
        },
        2000));
    s.WaitPastTheLast();
    EXPECT_EQ(s.sim.Count(13), 1u);
}

TEST(TwoEngines, AMemberJoiningWithADifferentFileTakesTheGroupsScheduleAndSaysWhatDiffered) {
    QTX_REQUIRE_ETCD();
    GroupScene s(8);
    if (s.NearMidnight())
        GTEST_SKIP() << "too close to midnight for a run";
    ASSERT_TRUE(s.etcd.Healthy());
    FileExec(s.b, "UPDATE Automation SET Title = 'old title' WHERE Number = 3");
    FileExec(s.b, "DELETE FROM Automation WHERE Number = 5");
    ASSERT_TRUE(s.StartBoth());
    const std::string joined = "differed from the group's schedule";
    ASSERT_TRUE(WaitFor([&] { return Occurrences(s.b.Errors(), joined) == 2; }, 3000))
        << s.b.Errors();
    EXPECT_EQ(FileText(s.b, "SELECT Title FROM Automation WHERE Number = 3"), Title(3));
    EXPECT_EQ(FileText(s.b, "SELECT COUNT(*) FROM Automation WHERE Number = 5"), "1");
    EXPECT_EQ(Occurrences(s.a.Errors(), joined), 0u);
}

// The standby down for a minute of edits on the leader (changes, deletions, skips): back, it
// catches up within 3 s of its start, and after the leader is killed it runs the latest schedule.
TEST(TwoEngines, AMemberDownForAMinuteOfEditsCatchesUpAndRunsTheLatestScheduleAfterAFailover) {
    QTX_GROUP_SCENE(s, 80);
    s.b.Kill(SIGKILL);
    const std::string edits[] = {"UPDATE Automation SET Salvo = 200 + Number WHERE Number = ",
                                 "DELETE FROM Automation WHERE Number = ",
                                 "UPDATE Automation SET Active = 2 WHERE Number = "};
    for (int k = 0; k < 12; ++k) {
        s.SleepUntil(2 + 5 * k);
        FileExec(s.a, edits[k % 3] + std::to_string(66 + k));
    }
    s.SleepUntil(58);
    const size_t roles = s.b.RoleLines().size();
    s.b.Start();
    const auto started = std::chrono::steady_clock::now();
    const std::string all =
        "SELECT group_concat(Number || ':' || Salvo || ':' || Active) FROM "
        "(SELECT * FROM Automation ORDER BY Number)";
    ASSERT_TRUE(WaitFor([&] { return FileText(s.b, all) == FileText(s.a, all); }, 3000))
        << "the returning member's file did not catch up within 3 s";
    EXPECT_LE(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    ASSERT_TRUE(WaitFor([&] { return s.b.LastRole() == "Role: standby (leader: main)"; }, 3000));
    EXPECT_GT(s.b.RoleLines().size(), roles);
    s.SleepUntil(68, 500);
    s.a.Kill(SIGKILL);
    s.WaitPastTheLast();
    std::vector<int> untouched;
    for (int n : s.All()) {
        if (n < 66 || n > 77) {
            untouched.push_back(n);
            continue;
        }
        const int kind = (n - 66) % 3;
        EXPECT_EQ(s.sim.Count(n), 0u) << Title(n) << " ran as it was before the edit";
        if (kind == 0) {
            EXPECT_EQ(s.sim.Count(200 + n), 1u) << Title(n) << " did not run as edited";
        }
    }
    s.ExpectEachOnceOrReported(untouched, {&s.b});
    EXPECT_EQ(s.b.LastRole(), "Role: leader");
}

TEST(TwoEngines, ASkipConsumedByTheLeaderIsConsumedOnceOnBothFilesAcrossAFailover) {
    QTX_REQUIRE_ETCD();
    GroupScene s(10);
    if (s.NearMidnight())
        GTEST_SKIP() << "too close to midnight for a run";
    ASSERT_TRUE(s.etcd.Healthy());
    for (const EngineProcess* e : {&s.a, &s.b})
        FileExec(*e, "UPDATE Automation SET Active = 2 WHERE Number IN (5, 8)");
    ASSERT_TRUE(s.StartBoth());
    s.SleepUntil(4, 500);  // event 5's skip consumed by main
    s.a.Kill(SIGKILL);
    s.WaitPastTheLast();
    for (int n : {5, 8})
        EXPECT_EQ(s.sim.Count(n), 0u) << Title(n) << " ran despite its skip";
    for (int n : {1, 2, 3, 4, 6, 7, 9, 10})
        EXPECT_EQ(s.sim.Count(n), 1u) << Title(n);
    const std::string active = "SELECT Active FROM Automation WHERE Number = ";
    for (const EngineProcess* e : {&s.a, &s.b})
        EXPECT_EQ(FileText(*e, active + "5"), "1");
    EXPECT_EQ(FileText(s.b, active + "8"), "1");
}

}  // namespace
}  // namespace qtx::test
