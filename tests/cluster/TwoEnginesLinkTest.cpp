// Two real engines, each linked to a simulator of its own: the leadership follows the switcher
// link, and a group on etcd over TLS takes only the engine whose certificate fits.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "database/EngineSettings.h"
#include "fixtures/EngineGroup.h"
#include "fixtures/EtcdCluster.h"
#include "fixtures/WallClock.h"

namespace qtx::test {
namespace {

constexpr int kLease = 2;
constexpr int kLinkAlarmAfter = 2;

// Events a second apart from `lead` seconds from now, event n firing salvo n, written into each
// engine's folder with that engine's own simulator port.
struct Schedule {
    Schedule(int count, int lead) : events(count) {
        now = SystemClock().Now();
        first = now.SecondsOfDay() + lead;
        nearMidnight = first + count + 60 >= 86400;
    }
    void WriteFor(EngineProcess& e, int simPort) const {
        std::vector<EventRow> rows;
        for (int n = 1; n <= events; ++n) {
            auto row =
                Event(n, now.MondayIndex(), FormatHhMmSs(first + n - 1), "ev" + std::to_string(n));
            row["scontrol"] = 1;
            row["Salvo"] = n;
            rows.push_back(row);
        }
        rows.push_back(Event(999, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
        EngineHarness h(now);
        h.WriteDatabase(rows, "127.0.0.1", simPort);
        {
            DBEngine engine;
            Database db = engine.OpenDatabase(h.Db());
            settings::WriteSetting(db, *settings::FindKnown(settings::LinkAlarmAfter),
                                   kLinkAlarmAfter);
            db.Close();
        }
        WriteWholeFile(e.File("QTXAutomation.mdb"), ReadWholeFile(h.Db()));
    }
    void SleepUntil(int offset, int ms = 0) const {
        const int64_t wait =
            LocalSecondToEpochMs(now, first + offset) + ms - ToEpochMs(SystemClock().Now());
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    int events;
    LocalDateTime now;
    int first = 0;
    bool nearMidnight = false;
};

bool EverLed(const EngineProcess& e, size_t fromLine) {
    const std::vector<std::string> lines = e.RoleLines();
    for (size_t i = fromLine; i < lines.size(); ++i)
        if (lines[i] == "Role: leader")
            return true;
    return false;
}

// The leader's switcher link cut while the standby's is up: the standby leads within
// LinkAlarmAfter and the lease (and a margin), the occurrences due meanwhile are held, not
// refused, and every one runs exactly once across the two simulators; the member whose link is
// down does not take the leadership back.
TEST(TwoEnginesLink, TheLeaderWhoseLinkIsCutHandsOverAndEveryRunGoesOnce) {
    QTX_REQUIRE_ETCD();
    const Schedule s(12, 10);
    if (s.nearMidnight)
        GTEST_SKIP() << "too close to midnight for a run";
    EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    auto simA = std::make_unique<CountingSim>();
    CountingSim simB;
    EngineProcess a, b;
    s.WriteFor(a, simA->Port());
    s.WriteFor(b, simB.Port());
    a.JoinGroup("studio1", "main", etcd.Endpoints(), kLease);
    b.JoinGroup("studio1", "backup", etcd.Endpoints(), kLease);
    a.Start();
    ASSERT_TRUE(WaitFor([&] { return a.LastRole() == "Role: leader"; }, 8000)) << a.Output();
    b.Start();
    ASSERT_TRUE(WaitFor([&] { return b.LastRole() == "Role: standby (leader: main)"; }, 8000))
        << b.Output();
    ASSERT_TRUE(WaitFor([&] { return simA->Clients() >= 1 && simB.Clients() >= 1; }, 5000));

    s.SleepUntil(2, 300);  // events 1..3 have run on main
    std::map<int, size_t> atA;
    for (int n = 1; n <= s.events; ++n)
        atA[n] = simA->Count(n);
    const size_t aLines = a.RoleLines().size();
    const auto cut = std::chrono::steady_clock::now();
    simA.reset();  // main's switcher gone: its link is down from here
    ASSERT_TRUE(WaitFor([&] { return b.LastRole() == "Role: leader"; },
                        (kLinkAlarmAfter + kLease + 3) * 1000))
        << b.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - cut,
              std::chrono::seconds(kLinkAlarmAfter + kLease + 1));
    EXPECT_TRUE(WaitFor([&] { return a.LastRole() == "Role: standby (leader: backup)"; }, 3000))
        << a.Output();

    s.SleepUntil(s.events + kLease + 2);
    for (int n = 1; n <= s.events; ++n)
        EXPECT_EQ(atA[n] + simB.Count(n), 1u) << "ev" << n;
    EXPECT_GE(atA[1] + atA[2] + atA[3], 3u) << "main ran the first events";
    EXPECT_FALSE(EverLed(a, aLines)) << "main, whose link is down, led again";
}

// Over TLS with client certificates: the engine whose certificate fits leads and runs the event;
// one signed by another CA is refused with a plain role line and runs nothing.
TEST(TwoEnginesTls, TheRightCertificateLeadsAForeignOneIsRefusedAndRunsNothing) {
    QTX_REQUIRE_ETCD();
    TestPki pki;
    ASSERT_TRUE(pki.Made()) << "openssl could not make the certificates";
    const Schedule s(2, 8);
    if (s.nearMidnight)
        GTEST_SKIP() << "too close to midnight for a run";
    EtcdCluster etcd(15000, pki.Server());
    ASSERT_TRUE(etcd.Healthy());
    CountingSim sim;
    EngineProcess good, foreign;
    const std::pair<EngineProcess*, std::string> members[] = {{&good, "client"},
                                                              {&foreign, "stranger"}};
    for (const auto& [e, cert] : members) {
        s.WriteFor(*e, sim.Port());
        e->WriteGroupFile("group = studio1\nnode = " + cert + "\netcd = " + etcd.Endpoints() +
                          "\nlease = 2\ntls-ca = " + pki.File("ca.pem") +
                          "\ntls-cert = " + pki.File(cert + ".pem") +
                          "\ntls-key = " + pki.File(cert + ".key") + "\n");
        e->Start();
    }
    EXPECT_TRUE(WaitFor([&] { return good.LastRole() == "Role: leader"; }, 8000)) << good.Output();
    EXPECT_TRUE(WaitFor(
        [&] {
            return foreign.LastRole() == "Role: no leader (etcd refused the client certificate)";
        },
        8000))
        << foreign.Output();
    s.SleepUntil(s.events + 2);
    for (int n = 1; n <= s.events; ++n)
        EXPECT_EQ(sim.Count(n), 1u) << "ev" << n;  // run by the engine that fits, and only it
    EXPECT_FALSE(EverLed(foreign, 0));
    EXPECT_NE(foreign.Errors().find("etcd refused the client certificate"), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
