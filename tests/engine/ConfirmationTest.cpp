// Confirmation of crosspoint commands: the whole engine on its real loop against the switcher
// simulator on 127.0.0.1, in each way a switcher fails to switch.
#include "engine/Confirmations.h"
#include "fixtures/SimEngine.h"

namespace qtx::test {
namespace {

using state::ConfirmResult;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kWithin = 150;  // ConfirmWithin of these tests, ms

EventRow Crosspoint(int number, const std::string& time, int xcontrol, int source, int dest) {
    return With(Event(number, 0, time, "feed " + std::to_string(number)),
                {{"xcontrol", xcontrol}, {"SourceChan", source}, {"DestChan", dest}});
}

// Writes rows with ConfirmWithin set, starts the engine on its real loop and waits until the
// links are up and their maps received.
void StartWith(EngineHarness& h, sim::SwitcherSim& sim, const std::vector<EventRow>& rows,
               int within = kWithin, int slavePort = 0) {
    h.WriteDatabase(rows, "127.0.0.1", sim.Listen(), slavePort ? "127.0.0.1" : "0.0.0.0");
    if (slavePort)
        h.Sql("UPDATE Server SET SlaveIPPort = '" + std::to_string(slavePort) + "'");
    h.Sql(
        "CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT);"
        "INSERT INTO Settings VALUES ('ConfirmWithin', '" +
        std::to_string(within) + "')");
    h.realTimers = true;
    h.Start();
    ASSERT_EQ(h.vars().ConfirmWithinMs, within);
    ASSERT_TRUE(h.realLoop.RunUntil(
        [&] {
            return h.vars().SwitcherConnected && h.vars().MapReceived[0] &&
                   (!slavePort || h.vars().MapReceived[1]);
        },
        3000));
}

class ConfirmationTest : public SimEngineTest {
  protected:
    void StartWith(const std::vector<EventRow>& rows, int within = kWithin, int slavePort = 0) {
        test::StartWith(h, sim_, rows, within, slavePort);
    }
    bool WaitForConfirmations(size_t n) {
        return h.realLoop.RunUntil([&] { return h.view.Confirmations.size() >= n; }, 3000);
    }
    size_t MapRequests() const { return sim_.FramesWithCode(0xF2).size(); }
};

struct Case {
    const char* Name;
    int Xcontrol, Source;
    void (*Fault)(sim::SwitcherSim&);
    ConfirmResult Result;
    const char* Reason;     // "" when confirmed
    bool ThroughMap;        // the map was asked for before the outcome
    const char* TallyLine;  // the Not Confirmed line, "" for none
};

TEST_F(ConfirmationTest, EachWayOfSwitchingOrNotHasItsOutcome) {
    const Case cases[] = {
        {"obeyed take", 1, 3, [](sim::SwitcherSim&) {}, ConfirmResult::Confirmed, "", false, ""},
        {"locked output", 1, 3, [](sim::SwitcherSim& s) { s.SetLocked(0, true); },
         ConfirmResult::NotConfirmed, "output 1 shows source 1", true,
         "Take Not Confirmed - In:0003-->Out:0001 - output 1 shows source 1"},
        {"ignored take", 1, 3, [](sim::SwitcherSim& s) { s.SetIgnoring(true); },
         ConfirmResult::NotConfirmed, "output 1 shows source 1", true,
         "Take Not Confirmed - In:0003-->Out:0001 - output 1 shows source 1"},
        {"wrong source", 1, 3, [](sim::SwitcherSim& s) { s.SetWrongSource(4); },
         ConfirmResult::NotConfirmed, "output 1 shows source 5", true,
         "Take Not Confirmed - In:0003-->Out:0001 - output 1 shows source 5"},
        {"switched without report", 1, 3, [](sim::SwitcherSim& s) { s.SetReporting(false); },
         ConfirmResult::Confirmed, "", true, ""},
        {"answers too late", 1, 3, [](sim::SwitcherSim& s) { s.SetAnswerDelay(3 * kWithin); },
         ConfirmResult::NotConfirmed, "no answer", true,
         "Take Not Confirmed - In:0003-->Out:0001 - no answer"},
        {"sum on", 2, 3, [](sim::SwitcherSim&) {}, ConfirmResult::Confirmed, "", true, ""},
        {"ignored sum on", 2, 3, [](sim::SwitcherSim& s) { s.SetIgnoring(true); },
         ConfirmResult::NotConfirmed, "output 1 shows source 1", true,
         "Sum On Not Confirmed - In:0003-->Out:0001 - output 1 shows source 1"},
        {"sum off", 3, 1, [](sim::SwitcherSim&) {}, ConfirmResult::Confirmed, "", true, ""},
        {"locked sum off", 3, 1, [](sim::SwitcherSim& s) { s.SetLocked(0, true); },
         ConfirmResult::NotConfirmed, "output 1 shows source 1", true,
         "Sum Off Not Confirmed - In:0001-->Out:0001 - output 1 shows source 1"},
    };
    // Each case has an engine and a simulator of its own.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EngineHarness eh{kMonday};
        sim::SwitcherSim sim{eh.realLoop};
        ASSERT_NO_FATAL_FAILURE(
            test::StartWith(eh, sim, {Crosspoint(1, "09:00:01", c.Xcontrol, c.Source, 1)}));
        c.Fault(sim);
        const size_t asked = sim.FramesWithCode(0xF2).size();
        eh.TickAt(9, 0, 1);
        ASSERT_TRUE(eh.realLoop.RunUntil([&] { return !eh.view.Confirmations.empty(); }, 3000));
        eh.realLoop.RunFor(2 * kWithin);  // nothing further comes
        ASSERT_EQ(eh.view.Confirmations.size(), 1u);
        const ConfirmOutcome& o = eh.view.Confirmations[0];
        EXPECT_EQ(o.Result, c.Result);
        EXPECT_EQ(o.Number, 1);
        EXPECT_EQ(o.Link, 0);
        if (c.Result == ConfirmResult::Confirmed) {
            EXPECT_GE(o.Ms, 0);
            if (!c.ThroughMap) {
                EXPECT_LT(o.Ms, kWithin);
            }
        } else {
            EXPECT_EQ(o.Reason, c.Reason);
            EXPECT_GE(o.Ms, c.Xcontrol == 1 ? kWithin - 5 : 0);  // the loop counts whole ms
        }
        EXPECT_EQ(sim.FramesWithCode(0xF2).size() > asked, c.ThroughMap);
        const auto activity = eh.ActivityMessages();
        if (*c.TallyLine != '\0') {
            EXPECT_THAT(activity, Contains(std::string(c.TallyLine)));
            EXPECT_THAT(eh.ErrorLocations(), Contains(NotConfirmedLocation(o.Action)));
            EXPECT_THAT(eh.ErrorLines().back(),
                        HasSubstr("feed 1: " +
                                  std::string(c.Xcontrol == 1   ? "take"
                                              : c.Xcontrol == 2 ? "sum on"
                                                                : "sum off") +
                                  " " + std::to_string(c.Source) + "->1 not confirmed on link 0"));
        } else {
            EXPECT_THAT(activity, Not(Contains(HasSubstr("Not Confirmed"))));
            EXPECT_TRUE(eh.ErrorLines().empty());
        }
    }
}

TEST_F(ConfirmationTest, ALaterTakeToTheSameOutputSupersedesTheEarlier) {
    StartWith({Crosspoint(1, "09:00:01", 1, 3, 1), Crosspoint(2, "09:00:01", 1, 4, 1),
               Crosspoint(3, "09:00:01", 1, 5, 2)});
    sim_.SetIgnoring(true);
    h.TickAt(9, 0, 1);
    ASSERT_TRUE(WaitForConfirmations(3));
    const auto& c = h.view.Confirmations;
    EXPECT_EQ(c[0].Number, 1);
    EXPECT_EQ(c[0].Result, ConfirmResult::Superseded);
    EXPECT_EQ(c[0].Reason, "superseded by event 2");
    EXPECT_EQ(c[0].SupersededBy, 2);
    for (size_t i : {1u, 2u})
        EXPECT_EQ(c[i].Result, ConfirmResult::NotConfirmed);
    const auto activity = h.ActivityMessages();
    EXPECT_THAT(activity, Not(Contains(HasSubstr("In:0003-->Out:0001 - "))));
    EXPECT_THAT(activity,
                Contains("Take Not Confirmed - In:0004-->Out:0001 - output 1 shows source 1"));
}

// A map asked for before a command went out shows the switcher as it was: it cannot refute the
// command, whose own map decides.
TEST_F(ConfirmationTest, AMapAskedBeforeTheCommandDoesNotJudgeIt) {
    StartWith({Crosspoint(1, "09:00:01", 1, 3, 1), Crosspoint(2, "09:00:02", 2, 5, 2)});
    sim_.SetLocked(0, true);
    sim_.SetAnswerDelay(60);
    const size_t asked = MapRequests();
    h.TickAt(9, 0, 1);
    ASSERT_TRUE(h.realLoop.RunUntil([&] { return MapRequests() > asked; }, 3000));
    h.TickAt(9, 0, 2);  // the sum goes out while the take's map is on its way
    ASSERT_TRUE(WaitForConfirmations(2));
    const auto& c = h.view.Confirmations;
    EXPECT_EQ(c[0].Number, 1);
    EXPECT_EQ(c[0].Result, ConfirmResult::NotConfirmed);
    EXPECT_EQ(c[1].Number, 2);
    EXPECT_EQ(c[1].Result, ConfirmResult::Confirmed) << c[1].Reason;
}

TEST_F(ConfirmationTest, OffWaitsForNothing) {
    StartWith({Crosspoint(1, "09:00:01", 1, 3, 1)}, 0);
    sim_.SetIgnoring(true);
    const size_t asked = MapRequests();
    h.TickAt(9, 0, 1);
    h.realLoop.RunFor(300);
    EXPECT_TRUE(h.view.Confirmations.empty());
    EXPECT_EQ(h.engine->Confirming().PendingCount(), 0u);
    EXPECT_EQ(MapRequests(), asked);
    EXPECT_THAT(h.ActivityMessages(), Not(Contains(HasSubstr("Not Confirmed"))));
}

TEST_F(ConfirmationTest, EventsRunOnWhileAConfirmationWaits) {
    StartWith({Crosspoint(1, "09:00:01", 1, 3, 1),
               With(Event(2, 0, "09:00:02", "salvo"), {{"scontrol", 1}, {"Salvo", 2}})});
    sim_.SetIgnoring(true);
    h.TickAt(9, 0, 1);
    h.realLoop.RunFor(20);
    h.TickAt(9, 0, 2);
    // The second event ran and gave its "sent" while the first still waits.
    ASSERT_EQ(h.view.Outcomes.size(), 2u);
    EXPECT_TRUE(h.view.Outcomes[1].Ran);
    ASSERT_EQ(h.view.Confirmations.size(), 1u);
    EXPECT_EQ(h.view.Confirmations[0].Number, 2);
    EXPECT_EQ(h.view.Confirmations[0].Result, ConfirmResult::Sent);
    EXPECT_EQ(h.engine->Confirming().PendingCount(), 1u);
    ASSERT_TRUE(WaitForConfirmations(2));
    EXPECT_EQ(h.view.Confirmations[1].Number, 1);
    EXPECT_EQ(h.view.Confirmations[1].Result, ConfirmResult::NotConfirmed);
}

TEST_F(ConfirmationTest, EachLinkIsConfirmedOnItsOwn) {
    sim::SwitcherSim slave{h.realLoop};
    slave.SetLocked(0, true);
    StartWith({Crosspoint(1, "09:00:01", 1, 3, 1)}, kWithin, slave.Listen());
    h.TickAt(9, 0, 1);
    ASSERT_TRUE(WaitForConfirmations(2));
    std::map<int, ConfirmOutcome> byLink;
    for (const ConfirmOutcome& o : h.view.Confirmations)
        byLink[o.Link] = o;
    EXPECT_EQ(byLink[0].Result, ConfirmResult::Confirmed);
    EXPECT_EQ(byLink[1].Result, ConfirmResult::NotConfirmed);
    EXPECT_EQ(byLink[1].Reason, "output 1 shows source 1");
    EXPECT_THAT(
        h.ActivityMessages(),
        Contains("Take Not Confirmed - In:0003-->Out:0001 - link 1: output 1 shows source 1"));
}

}  // namespace
}  // namespace qtx::test
