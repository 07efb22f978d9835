// Two real engines in one group on a real three-member etcd, against one simulator that counts
// every salvo: across each fault, every occurrence runs exactly once, or was claimed by an
// engine that died mid-run and is reported by the one that took over.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Format.h"
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

}  // namespace
}  // namespace qtx::test
