// Two gates of one group against a three-member etcd cluster of their own: leadership, claims,
// takeover, and the loss of etcd members.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "cluster/RunGate.h"
#include "common/DateTime.h"
#include "common/LocalTime.h"
#include "database/DBEngine.h"
#include "fixtures/EtcdCluster.h"
#include "fixtures/EventDb.h"
#include "fixtures/LinkCut.h"
#include "fixtures/TempDir.h"

namespace qtx::cluster {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr int kLease = 2;

// Polls until pred holds or ms pass; the time it took.
milliseconds WaitFor(const std::function<bool()>& pred, int ms) {
    const auto start = Clock::now();
    while (!pred() && Clock::now() - start < milliseconds(ms))
        std::this_thread::sleep_for(milliseconds(20));
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

int64_t Today() {
    const LocalDateTime t = LocalTimeAt(std::chrono::duration_cast<milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
    return DaysFromCivil(t.Year, t.Month, t.Day);
}

std::string Text(const std::optional<ClaimRecord>& c) {
    if (!c)
        return "none";
    const char* m[] = {"none", "skip", "one-time"};
    return c->Node + " " + m[static_cast<int>(c->Consumed)] + " " +
           (c->Finished ? "finished " : "unfinished ") + c->Title;
}

struct Member {
    Member(const std::string& node, const std::string& endpoints, const std::string& more = "",
           bool withFile = false, int lease = kLease) {
        if (withFile) {
            test::MakeEventDb(Db());
            test::AddFullEvent(Db(), 1, 0, "12:00:00", "one");
        }
        test::WriteWholeFile(dir.File(kGroupFileName),
                             "group = g\nnode = " + node + "\netcd = " + endpoints +
                                 "\nlease = " + std::to_string(lease) + "\n" + more);
        gate = OpenGroup(dir.Path());
    }
    Role Is() const { return gate->CurrentRole().Role; }
    std::string Db() const { return dir.File("QTXAutomation.mdb"); }
    test::TempDir dir;
    std::unique_ptr<RunGate> gate;
};

class GroupOnEtcd : public ::testing::Test {
  protected:
    void SetUp() override {
        QTX_REQUIRE_ETCD();
        etcd = std::make_unique<test::EtcdCluster>();
        ASSERT_TRUE(etcd->Healthy());
        a = std::make_unique<Member>("a", etcd->Endpoints());
        b = std::make_unique<Member>("b", etcd->Endpoints());
        WaitFor([&] { return (a->Is() == Role::Leader) != (b->Is() == Role::Leader); }, 5000);
        leader = a->Is() == Role::Leader ? a.get() : b.get();
        standby = leader == a.get() ? b.get() : a.get();
        WaitFor([&] { return standby->Is() == Role::Standby; }, 2000);
        ASSERT_EQ(leader->Is(), Role::Leader);
        ASSERT_EQ(standby->gate->CurrentRole().Role, Role::Standby);
        ASSERT_EQ(standby->gate->CurrentRole().Leader, leader == a.get() ? "a" : "b");
        ASSERT_TRUE(leader->gate->MaySend());
        ASSERT_FALSE(standby->gate->MaySend());
    }
    std::unique_ptr<test::EtcdCluster> etcd;
    std::unique_ptr<Member> a, b;
    Member* leader = nullptr;
    Member* standby = nullptr;
};

TEST_F(GroupOnEtcd, OneLeaderClaimsOnceTheStandbyTakesOverAndReportsTheUnfinished) {
    const Occurrence news{7, Today(), 36000}, weather{8, Today(), 36001};
    EXPECT_EQ(standby->gate->Claim(news, Marking::None, "News"), ClaimOutcome::NotLeader);
    EXPECT_EQ(leader->gate->Claim(news, Marking::Skip, "News"), ClaimOutcome::Claimed);
    EXPECT_EQ(leader->gate->Claim(news, Marking::Skip, "News"), ClaimOutcome::AlreadyClaimed);
    EXPECT_EQ(leader->gate->Claim(weather, Marking::OneTime, "Weather"), ClaimOutcome::Claimed);
    leader->gate->Finished(weather);

    const std::string node = standby->gate->CurrentRole().Leader;
    EXPECT_LT(WaitFor(
                  [&] {
                      const auto w = standby->gate->ClaimOf(weather);
                      return standby->gate->ClaimOf(news) && w && w->Finished;
                  },
                  3000),
              milliseconds(1000));
    EXPECT_EQ(Text(standby->gate->ClaimOf(news)), node + " skip unfinished News");
    EXPECT_EQ(Text(standby->gate->ClaimOf(weather)), node + " one-time finished Weather");

    // The leader's gate goes (its lease revoked): the standby leads and reports the claim that
    // never finished, once.
    leader->gate.reset();
    EXPECT_LT(WaitFor([&] { return standby->Is() == Role::Leader; }, 5000),
              milliseconds((kLease + 1) * 1000));
    EXPECT_TRUE(standby->gate->MaySend());
    const std::vector<UnfinishedClaim> left = standby->gate->TakeUnfinished();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Of, news);
    EXPECT_EQ(left[0].Claim.Node, node);
    EXPECT_TRUE(standby->gate->TakeUnfinished().empty());
    EXPECT_EQ(standby->gate->Claim(news, Marking::None, "News"), ClaimOutcome::AlreadyClaimed);
    EXPECT_GE(standby->gate->CurrentRole().LeaderChanges, 1u);
}

TEST_F(GroupOnEtcd, OneEtcdMemberLostChangesNothingTwoStopEveryoneBeforeTheLeaseEnds) {
    etcd->Kill(0);
    bool steady = true;
    for (auto until = Clock::now() + std::chrono::seconds(kLease + 1); Clock::now() < until;
         std::this_thread::sleep_for(milliseconds(20)))
        steady = steady && leader->gate->MaySend() && leader->Is() == Role::Leader &&
                 standby->Is() == Role::Standby;
    EXPECT_TRUE(steady);
    EXPECT_EQ(leader->gate->Claim({1, Today(), 1}, Marking::None, "x"), ClaimOutcome::Claimed);

    // Without a majority the last member takes calls and never answers them. Its raft leader
    // may renew leases until it steps down, one election timeout (500 ms) after the loss; the
    // lease runs from there.
    etcd->Kill(1);
    const auto killed = Clock::now();
    const milliseconds bound{kLease * 1000 + 500 + 300};
    EXPECT_LT(WaitFor([&] { return !leader->gate->MaySend(); }, 5000), bound);
    WaitFor([&] { return leader->Is() == Role::NoLeader && standby->Is() == Role::NoLeader; },
            5000);
    EXPECT_LT(Clock::now() - killed, bound + milliseconds(kLease * 1000 / 2));
    EXPECT_EQ(leader->gate->CurrentRole().Reason, "no quorum");
    EXPECT_EQ(leader->gate->Claim({2, Today(), 2}, Marking::None, "x"), ClaimOutcome::NotLeader);

    // Quorum back: a leader again.
    ASSERT_TRUE(etcd->Restart(1));
    WaitFor([&] { return (a->Is() == Role::Leader) != (b->Is() == Role::Leader); }, 10000);
    EXPECT_NE(a->Is() == Role::Leader, b->Is() == Role::Leader);
}

// Another program holds the leader's file for longer than a lease while the standby edits:
// the leader keeps sending and claiming without a gap, and takes the edit once the file is free.
TEST(GroupOnEtcdBusyFile, ALeaderWhoseFileIsHeldKeepsItsLeaseAndTakesTheEditAfter) {
    QTX_REQUIRE_ETCD();
    test::EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    Member a("a", etcd.Endpoints(), "", true);
    WaitFor([&] { return a.Is() == Role::Leader; }, 5000);
    Member b("b", etcd.Endpoints(), "", true);
    WaitFor([&] { return b.Is() == Role::Standby; }, 3000);
    ASSERT_EQ(a.Is(), Role::Leader);
    std::atomic<int> phase{0};  // 1 while the file is held, 2 once it is free
    std::jthread other([&] {
        DBEngine engine;
        Database db = engine.OpenDatabase(a.Db());
        db.BeginTrans();  // a write lock: a's own writes wait for it, reads go on
        phase = 1;
        std::this_thread::sleep_for(std::chrono::seconds(2 * kLease + 1));
        db.CommitTrans();
        phase = 2;
    });
    WaitFor([&] { return phase.load() == 1; }, 3000);
    test::RunSql(b.Db(), "UPDATE Automation SET Title = 'edited' WHERE Number = 1");
    int gaps = 0, refused = 0, second = 1000;
    auto nextClaim = Clock::now();
    while (phase.load() == 1) {
        gaps += a.gate->MaySend() ? 0 : 1;
        if (Clock::now() >= nextClaim) {  // an occurrence every 250 ms, each claimed at once
            nextClaim += milliseconds(250);
            refused += a.gate->Claim({1, Today(), second++}, Marking::None, "one") !=
                       ClaimOutcome::Claimed;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(gaps, 0) << "samples of 2 ms without the right to send";
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(a.gate->CurrentRole().LeaderChanges, 0u);
    EXPECT_EQ(b.gate->CurrentRole().Leader, "a");
    const std::string title = "SELECT Title FROM Automation WHERE Number = 1";
    EXPECT_LT(WaitFor([&] { return test::QueryOne(a.Db(), title) == "edited"; }, 4000),
              milliseconds(3000));
}

// A leader killed outright: the standby leads once the lease runs out.
TEST(GroupOnEtcdKilled, TheStandbyLeadsWithinTheLeaseAndReportsTheClaimInFlight) {
    QTX_REQUIRE_ETCD();
    test::EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const Occurrence news{7, Today(), 36000};
    const pid_t child = ::fork();  // before any thread of this process
    if (child == 0) {
        Member a("a", etcd.Endpoints());
        WaitFor([&] { return a.Is() == Role::Leader; }, 5000);
        const char got = a.gate->Claim(news, Marking::Skip, "News") == ClaimOutcome::Claimed;
        (void)!::write(ready[1], &got, 1);
        ::pause();
        ::_exit(0);
    }
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    ASSERT_EQ(got, 1);
    Member b("b", etcd.Endpoints());
    WaitFor([&] { return b.Is() == Role::Standby; }, 3000);
    ASSERT_EQ(b.gate->CurrentRole().Leader, "a");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_LT(WaitFor([&] { return b.Is() == Role::Leader; }, 6000),
              milliseconds((kLease + 1) * 1000));
    const std::vector<UnfinishedClaim> left = b.gate->TakeUnfinished();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Of, news);
    EXPECT_EQ(left[0].Claim.Node, "a");
    EXPECT_EQ(left[0].Claim.Consumed, Marking::Skip);
}

// A claim that etcd applied but whose answer was lost: nothing of the run was sent, so the
// leader's next try takes the claim up and runs it, rather than reporting a run that never began.
TEST(GroupOnEtcdLostAnswer, TheLeaderRunsItsOwnClaimWhoseAnswerWasLost) {
    QTX_REQUIRE_ETCD();
    test::EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    std::vector<std::unique_ptr<test::LinkCut>> relays;
    std::string endpoints;
    for (int i = 0; i < 3; ++i) {
        relays.push_back(std::make_unique<test::LinkCut>(etcd.ClientPort(i)));
        endpoints += (i ? ",http://127.0.0.1:" : "http://127.0.0.1:") +
                     std::to_string(relays.back()->Port());
    }
    // The longest lease: the muted tries (three members, 1.5 s each) leave it well within.
    Member a("a", endpoints, "", false, 10);
    ASSERT_LT(WaitFor([&] { return a.Is() == Role::Leader; }, 5000), milliseconds(5000));
    const Occurrence news{7, Today(), 36000};
    for (auto& r : relays)
        r->MuteReplies(true);
    EXPECT_EQ(a.gate->Claim(news, Marking::Skip, "News"), ClaimOutcome::NotLeader);
    for (auto& r : relays)
        r->MuteReplies(false);
    // The member's own poll reads the claim back first, then the engine tries again.
    EXPECT_LT(WaitFor([&] { return a.gate->ClaimOf(news).has_value(); }, 8000), milliseconds(8000))
        << static_cast<int>(a.Is()) << " " << a.gate->CurrentRole().Reason << " "
        << a.gate->MaySend();
    EXPECT_TRUE(a.gate->TakeUnfinished().empty());
    EXPECT_EQ(a.gate->Claim(news, Marking::Skip, "News"), ClaimOutcome::Claimed);
    EXPECT_EQ(a.Is(), Role::Leader);
}

// The leadership follows the switcher link: a member that cannot switch does not take it from
// one that can, a leader whose link has been down past LinkAlarmAfter hands it over (holding its
// occurrences meanwhile), and with no working link anywhere the leader stays.
TEST(GroupOnEtcdLink, TheLeadershipGoesToAMemberThatCanSwitch) {
    QTX_REQUIRE_ETCD();
    test::EtcdCluster etcd;
    ASSERT_TRUE(etcd.Healthy());
    constexpr int kGiveUp = 1;  // LinkAlarmAfter
    const Occurrence of{1, Today(), 100}, later{2, Today(), 200};
    auto a = std::make_unique<Member>("a", etcd.Endpoints());
    WaitFor([&] { return a->Is() == Role::Leader; }, 5000);
    Member b("b", etcd.Endpoints()), c("c", etcd.Endpoints());
    WaitFor([&] { return b.Is() == Role::Standby && c.Is() == Role::Standby; }, 3000);
    ASSERT_EQ(a->Is(), Role::Leader);

    // b cannot switch, c can: when a goes (its lease revoked), c leads and b never does.
    b.gate->ReportLink(false, kGiveUp);
    std::this_thread::sleep_for(milliseconds(600));  // published and read by all
    a.reset();
    bool bLed = false;
    WaitFor(
        [&] {
            bLed = bLed || b.Is() == Role::Leader;
            return c.Is() == Role::Leader;
        },
        3000);
    ASSERT_EQ(c.Is(), Role::Leader);
    WaitFor([&] { return b.Is() == Role::Standby; }, 2000);
    EXPECT_FALSE(bLed);

    // Neither can switch: c keeps the leadership past LinkAlarmAfter and claims as before.
    c.gate->ReportLink(false, kGiveUp);
    std::this_thread::sleep_for(milliseconds(kGiveUp * 1000 + 800));
    EXPECT_EQ(c.Is(), Role::Leader);
    EXPECT_EQ(c.gate->Claim(of, Marking::None, "One"), ClaimOutcome::Claimed);
    c.gate->Finished(of);

    // b's link is back: c, down past LinkAlarmAfter, holds its next occurrence and hands over.
    b.gate->ReportLink(true, kGiveUp);
    const milliseconds took = WaitFor([&] { return b.Is() == Role::Leader; }, 5000);
    EXPECT_LT(took, milliseconds(2500));
    EXPECT_EQ(c.gate->Claim(later, Marking::None, "Two"), ClaimOutcome::NotLeader);
    EXPECT_FALSE(c.gate->MaySend());
    EXPECT_EQ(b.gate->Claim(later, Marking::None, "Two"), ClaimOutcome::Claimed);
    std::this_thread::sleep_for(milliseconds(1000));  // c does not campaign back
    EXPECT_EQ(c.gate->CurrentRole().Role, Role::Standby);
    EXPECT_EQ(c.gate->CurrentRole().Leader, "b");
}

// Client certificates against members that ask for them: one that fits leads; each that does
// not is refused, named in plain words, and claims nothing.
TEST(GroupOnEtcdTls, TheRightCertificateLeadsAndEachMisfitIsNamed) {
    QTX_REQUIRE_ETCD();
    test::TestPki pki;
    ASSERT_TRUE(pki.Made()) << "openssl could not make the certificates";
    test::EtcdCluster etcd(15000, pki.Server());
    ASSERT_TRUE(etcd.Healthy());
    auto tls = [&](const std::string& ca, const std::string& cert, const std::string& key) {
        std::string t = "tls-ca = " + pki.File(ca) + "\n";
        if (!cert.empty())
            t += "tls-cert = " + pki.File(cert) + "\ntls-key = " + pki.File(key) + "\n";
        return t;
    };
    Member good("good", etcd.Endpoints(), tls("ca.pem", "client.pem", "client.key"));
    WaitFor([&] { return good.Is() == Role::Leader; }, 5000);
    ASSERT_EQ(good.Is(), Role::Leader) << good.gate->CurrentRole().Reason;

    struct Misfit {
        std::string ca, cert, key, reason;
    };
    const Misfit misfits[] = {
        {"ca.pem", "stranger.pem", "stranger.key", "etcd refused the client certificate"},
        {"ca.pem", "", "", "etcd asks for a client certificate (tls-cert, tls-key)"},
        {"other.pem", "client.pem", "client.key",
         "the etcd server's certificate is not trusted by tls-ca"},
        {"ca.pem", "client.pem", "stranger.key", "tls-key does not match tls-cert"},
        {"ca.pem", "missing.pem", "client.key", "tls-cert cannot be read"},
        {"missing.pem", "client.pem", "client.key", "tls-ca cannot be read"},
    };
    std::vector<std::unique_ptr<Member>> members;
    for (const Misfit& m : misfits)
        members.push_back(std::make_unique<Member>("m" + std::to_string(members.size()),
                                                   etcd.Endpoints(), tls(m.ca, m.cert, m.key)));
    for (size_t i = 0; i < members.size(); ++i) {
        const Member& m = *members[i];
        WaitFor([&] { return m.gate->CurrentRole().Reason == misfits[i].reason; }, 4000);
        EXPECT_EQ(m.gate->CurrentRole().Role, Role::NoLeader) << misfits[i].reason;
        EXPECT_EQ(m.gate->CurrentRole().Reason, misfits[i].reason);
        EXPECT_EQ(m.gate->Claim({1, Today(), 100}, Marking::None, "One"), ClaimOutcome::NotLeader);
    }
    EXPECT_EQ(good.Is(), Role::Leader);
}

}  // namespace
}  // namespace qtx::cluster
