// Engines in a group (main and backup) through a fake gate whose claims live in the test: the
// leader claims each occurrence once and runs it, the standby passes what the leader claimed and
// applies its markings, a member without leadership holds and runs the missed occurrence once
// when it leads, a leader whose lease may have expired stops sending, and the role is shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "alarms/AlarmDesk.h"
#include "cluster/RunGate.h"
#include "engine/EngineAlarms.h"
#include "fixtures/EngineHarness.h"

namespace qtx::test {
namespace {

using cluster::ClaimOutcome;
using cluster::ClaimRecord;
using cluster::Marking;
using cluster::Occurrence;
using state::ClusterRole;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int64_t kMondayDay = 20794;  // 2026-12-07, days since 1970-01-01

// What etcd holds for the group: the claims, by occurrence.
struct Group {
    std::map<std::tuple<int32_t, int64_t, int32_t>, ClaimRecord> Claims;
    static auto Key(const Occurrence& o) { return std::make_tuple(o.Number, o.Day, o.Second); }
};

class FakeGate : public cluster::RunGate {
  public:
    FakeGate(Group& group, std::string node) : group_(group), node_(std::move(node)) {}

    state::RoleState Role;
    mutable int SendsLeft = -1;  // MaySend answers true this many times (-1: always)
    int ClaimCalls = 0;
    std::vector<cluster::UnfinishedClaim> Unfinished;

    state::RoleState CurrentRole() const override { return Role; }
    ClaimOutcome Claim(const Occurrence& of, Marking consumed, std::string_view title) override {
        ++ClaimCalls;
        if (Role.Role != ClusterRole::Leader || SendsLeft == 0)
            return ClaimOutcome::NotLeader;
        auto [it, fresh] = group_.Claims.try_emplace(Group::Key(of));
        if (!fresh)
            return ClaimOutcome::AlreadyClaimed;
        it->second = ClaimRecord{node_, consumed, false, std::string(title)};
        return ClaimOutcome::Claimed;
    }
    void Finished(const Occurrence& of) override { group_.Claims[Group::Key(of)].Finished = true; }
    std::optional<ClaimRecord> ClaimOf(const Occurrence& of) const override {
        const auto it = group_.Claims.find(Group::Key(of));
        return it == group_.Claims.end() ? std::nullopt : std::optional(it->second);
    }
    bool MaySend() const override {
        if (Role.Role != ClusterRole::Leader || SendsLeft == 0)
            return false;
        if (SendsLeft > 0)
            --SendsLeft;
        return true;
    }
    std::vector<cluster::UnfinishedClaim> TakeUnfinished() override {
        return std::exchange(Unfinished, {});
    }

  private:
    Group& group_;
    std::string node_;
};

// A member: its own folder and engine, the gate the test steers.
struct Member {
    Member(Group& group, const std::string& node, ClusterRole role, const std::string& leader = "")
        : group(group), node(node) {
        h.beforeLoad = [this, role, leader](Engine& e) {
            auto g = std::make_unique<FakeGate>(this->group, this->node);
            g->Role = {role, leader, role == ClusterRole::NoLeader ? "etcd: no quorum" : "", 0};
            gate = g.get();
            e.UseGate(std::move(g));
        };
    }
    std::vector<std::string> Sends() const {
        std::vector<std::string> out;
        for (const std::string& line : h.ActivityMessages())
            if (line.rfind("Send ", 0) == 0)
                out.push_back(line);
        return out;
    }
    Group& group;
    std::string node;
    EngineHarness h{kMonday};
    FakeGate* gate = nullptr;
};

const EventRow kTake = {{"xcontrol", 1}, {"SourceChan", 3}, {"DestChan", 1}};

EventRow Take(EventRow row) {
    row.insert(kTake.begin(), kTake.end());
    return row;
}

TEST(GroupGate, TheLeaderClaimsEachOccurrenceOnceAndTheStandbyFollowsWithItsMarkings) {
    const std::vector<EventRow> rows = {
        Take(Event(1, 0, "09:00:01", "first")),
        With(Take(Event(2, 0, "09:00:02", "skipme")), {{"Active", 2}}),
        With(Take(Event(3, 0, "09:00:02", "once")), {{"Active", 3}}),
        Take(Event(4, 0, "09:00:05", "later"))};
    Group group;
    Member main(group, "main", ClusterRole::Leader);
    Member backup(group, "backup", ClusterRole::Standby, "main");
    for (Member* m : {&main, &backup}) {
        m->h.WriteDatabase(rows);
        m->h.Start();
        m->h.MarkSwitcherUp();
    }
    backup.h.TickAt(9, 0, 1);  // before the leader's claim: held
    EXPECT_TRUE(backup.h.view.HistoryRows.empty());
    for (int ms : {5, 505})
        main.h.TickAt(9, 0, 1, ms);
    main.h.TickAt(9, 0, 2);
    EXPECT_THAT(Titles(main.h.view.HistoryRows),
                ElementsAre("first", "skipme - Not Executed", "once"));
    EXPECT_EQ(main.gate->ClaimCalls, 3);  // the second tick of 09:00:01 claimed nothing more
    EXPECT_EQ(main.h.view.Claims, (state::ClaimCounts{3, 0, 0}));
    EXPECT_EQ(main.Sends().size(), 2u);
    ASSERT_EQ(group.Claims.size(), 3u);
    std::vector<Marking> consumed;
    for (const auto& [key, claim] : group.Claims) {
        EXPECT_EQ(claim.Node, "main");
        EXPECT_TRUE(claim.Finished);
        consumed.push_back(claim.Consumed);
    }
    EXPECT_THAT(consumed, ElementsAre(Marking::None, Marking::Skip, Marking::OneTime));
    EXPECT_EQ(group.Claims.begin()->first, std::make_tuple(1, kMondayDay, 9 * 3600 + 1));

    // The standby passes all three in one tick and sends nothing; the markings reach its file
    // with the group's schedule (the claim consumed them there), never from the pass itself.
    backup.h.TickAt(9, 0, 2, 505);
    EXPECT_THAT(Titles(backup.h.view.HistoryRows),
                ElementsAre("first - Run on main", "skipme - Run on main", "once - Run on main"));
    EXPECT_TRUE(backup.Sends().empty());
    EXPECT_TRUE(backup.h.view.Outcomes.empty());
    backup.h.Start();  // its own file: untouched by the pass
    backup.h.MarkSwitcherUp();
    EXPECT_EQ(backup.h.Record(2)->Active, 2);
    EXPECT_NE(backup.h.Record(3), nullptr);

    // The leader is gone; the standby takes over and runs the next occurrence itself.
    backup.gate->Role = {ClusterRole::Leader, "", "", 1};
    backup.h.TickAt(9, 0, 5);
    EXPECT_EQ(backup.h.view.HistoryRows.back().Title, "later");
    EXPECT_EQ(group.Claims[std::make_tuple(4, kMondayDay, 9 * 3600 + 5)].Node, "backup");
}

TEST(GroupGate, WithoutLeadershipTheOccurrenceWaitsAndRunsOnceLateWhenTheMemberLeads) {
    Group group;
    Member m(group, "backup", ClusterRole::NoLeader);
    m.h.WriteDatabase({Take(Event(1, 0, "09:00:01", "first")), Event(2, 0, "09:00:02", "second"),
                       Event(3, 1, "09:00:00", "tuesday")});
    m.h.Start();
    m.h.MarkSwitcherUp();
    for (int s = 1; s <= 3; ++s)
        m.h.TickAt(9, 0, s);
    EXPECT_TRUE(m.h.view.HistoryRows.empty());
    EXPECT_THAT(m.h.DatabaseErrors(), ElementsAre("Group Role"));  // the reason once
    EXPECT_TRUE(m.h.Logged("No leader in the group, no event runs: etcd: no quorum"));
    alarms::AlarmDesk* desk = m.h.engine->Alarms().Desk();
    EXPECT_TRUE(desk->IsRaised(alarms::AlarmKind::NoLeader, "group"));

    // Leader, but its claims fail (etcd slow): still held, and counted.
    m.gate->Role = {ClusterRole::Leader, "", "", 1};
    m.gate->SendsLeft = 0;
    m.h.TickAt(9, 0, 4);
    m.h.TickAt(9, 0, 4, 500);  // tried again at each tick, counted once
    EXPECT_TRUE(m.h.view.HistoryRows.empty());
    EXPECT_EQ(m.h.view.Claims.NotLeader, 1u);
    EXPECT_FALSE(desk->IsRaised(alarms::AlarmKind::NoLeader, "group"));

    // Its claims hold now: both run once, late, in one tick; an earlier leader's unfinished run
    // is reported with what it may not have sent.
    m.gate->SendsLeft = -1;
    m.gate->Unfinished.push_back({Occurrence{1, kMondayDay - 7, 9 * 3600 + 1},
                                  ClaimRecord{"main", Marking::None, false, "first"}});
    m.h.TickAt(9, 0, 6);
    m.h.TickAt(9, 0, 7);
    EXPECT_THAT(Titles(m.h.view.HistoryRows), ElementsAre("first", "second"));
    ASSERT_EQ(m.h.view.Outcomes.size(), 2u);
    EXPECT_GE(m.h.view.Outcomes[0].LatenessMs, 5000);
    EXPECT_EQ(m.h.view.Claims, (state::ClaimCounts{2, 0, 1}));
    ASSERT_EQ(m.h.view.Unfinished.size(), 1u);
    const state::UnfinishedRun& u = m.h.view.Unfinished[0];
    EXPECT_EQ(u.Date, "2026-11-30");
    EXPECT_EQ(u.Time, "09:00:01");
    EXPECT_EQ(u.Node, "main");
    EXPECT_EQ(u.Actions, "take 3->1");
    EXPECT_TRUE(m.h.Logged("Event 1 \"first\" due 2026-11-30 09:00:01 was claimed by main"));

    std::vector<std::string> lines;
    for (const state::RoleState& r : m.h.view.Roles)
        lines.push_back(state::RoleLine(r));
    EXPECT_THAT(lines, ElementsAre("Role: no leader (etcd: no quorum)", "Role: leader"));
}

TEST(GroupGate, ALeaderWhoseLeaseMayHaveExpiredStopsSendingInTheMiddleOfAChain) {
    Group group;
    Member m(group, "main", ClusterRole::Leader);
    m.h.WriteDatabase({Take(Event(1, 0, "09:00:01", "a")),
                       With(Take(Event(2, 0, "09:00:01", "b")), {{"scontrol", 1}, {"Salvo", 5}}),
                       Take(Event(3, 0, "09:00:01", "c"))});
    m.h.Start();
    m.h.MarkSwitcherUp();
    m.gate->SendsLeft = 2;  // a's take, b's take; b's salvo is not sent, c is not claimed
    m.h.TickAt(9, 0, 1);
    EXPECT_EQ(m.Sends().size(), 2u);
    EXPECT_THAT(m.h.ActivityMessages(),
                ::testing::Contains(HasSubstr("b not executed - Cut short")));
    EXPECT_THAT(Titles(m.h.view.HistoryRows), ElementsAre("a", "b - Not Executed"));
    EXPECT_EQ(m.h.view.Outcomes[1].Reason, state::Refusal::CutShort);
    ASSERT_EQ(group.Claims.size(), 2u);
    EXPECT_TRUE(group.Claims.begin()->second.Finished);
    EXPECT_FALSE(std::next(group.Claims.begin())->second.Finished);  // the next leader reports it
    EXPECT_EQ(m.h.view.Claims, (state::ClaimCounts{2, 0, 1}));
}

}  // namespace
}  // namespace qtx::test
