// The whole engine losing its switcher link in the ways a facility loses it: a peer that never
// speaks, a switcher that stops answering polls, a frame cut off by a dropped connection. Events
// in the gap are refused with their reason, the link comes back at the engine's next tick, and
// nothing of the old connection spoils the new one. (A refused port retried quietly, a link
// that sends nothing stale after it comes back and a slave that goes away are the link,
// socket and end-to-end tests'.)
#include "fixtures/SimEngine.h"
#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using sim::SwitcherSim;
using sim::ToHex;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Salvo frames (one per salvo event) as hex.
std::vector<std::string> Salvos(const SwitcherSim& s) {
    std::vector<std::string> out;
    for (const auto& f : s.FramesWithCode(0xEA))
        out.push_back(ToHex(f));
    return out;
}

EventRow SalvoEvent(int number, const std::string& time, int salvo) {
    return With(Event(number, 0, time, "s" + std::to_string(salvo)),
                {{"scontrol", 1}, {"Salvo", salvo}});
}

class LinkFault : public SimEngineTest {
  protected:
    // Starts with these rows and an event on Tuesday.
    void StartOn(std::vector<EventRow> rows) {
        rows.push_back(Event(99, 1, "08:00:00", "tuesday"));
        Begin(rows);
    }
    // Ticks every 500 ms from hh:mm:ss on, without real waiting, until link 0 is dropped (700
    // ticks at most); returns the ticks run.
    int TicksUntilDropped(int hh, int mm, int ss) {
        int n = 0;
        for (int t = (hh * 3600 + mm * 60 + ss) * 2; n < 700 && !Dropped(); ++n, ++t) {
            h.TickAt(t / 7200, t / 120 % 60, t / 2 % 60, t % 2 ? 505 : 5);
            h.realLoop.RunOnce(0);
        }
        return n;
    }
    bool Dropped() { return !h.vars().ServerConnected; }
};

// Polls left unanswered by a peer that accepts and never speaks (its event is refused), or by a
// switcher that goes quiet without saying it is offline (its event still goes out). 201
// unanswered polls keep the link; the next poll time drops it; the next tick connects again.
class UnansweredPolls : public LinkFault, public ::testing::WithParamInterface<bool> {};

TEST_P(UnansweredPolls, DropTheLinkAtItsLimitAndTheNextTickReconnects) {
    const bool spoke = GetParam();
    port_ = sim_.Listen();
    sim_.SetAccepting(spoke);  // off: the kernel completes the connection and nobody answers
    StartOn({SalvoEvent(1, "09:00:01", 1), SalvoEvent(2, "09:20:00", 2)});
    ASSERT_TRUE(WaitFor([&] { return spoke ? Online() : h.vars().ServerConnected; }));
    sim_.SetAnswering(false);
    Second(9, 0, 1);
    EXPECT_THAT(h.ActivityMessages(),
                ElementsAre(spoke ? "Send Execute Salvo Number 1"
                                  : "s1 not executed - Switcher not connected"));
    const int ticks = TicksUntilDropped(9, 0, 2);
    EXPECT_TRUE(Dropped() && ticks >= 3 * 201 && ticks <= 3 * 202 + 2) << ticks;

    sim_.SetAccepting(true);
    sim_.SetAnswering(true);
    h.TickAt(9, 15, 0);
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    Second(9, 20, 0);
    ASSERT_TRUE(WaitFor([&] { return Salvos(sim_).size() == (spoke ? 2u : 1u); }));
    EXPECT_EQ(Salvos(sim_).back(), "EA 64 01 00 65 FF");
    EXPECT_THAT(h.ErrorLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(SilentPeerOrQuietSwitcher, UnansweredPolls, ::testing::Bool());

TEST_F(LinkFault, HalfFramesAndGarbageSpoilNeitherThisConnectionNorTheNext) {
    StartOn(
        {With(SalvoEvent(1, "09:00:05", 7), {{"Condition", 1}, {"ReqSource", 1}, {"ReqDest", 1}})});
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    h.vars().CrosspointMap.assign(1, CrosspointEntry{});  // forget output 0
    sim_.SendGarbage(5, 3);
    sim_.SendInPieces(sim_.MapMessages().at(0), 3, 5);
    // One message per tick and per read: tick quickly while the pieces arrive.
    for (int i = 0; i < 40 && h.vars().CrosspointMap.size() < 16; ++i) {
        h.realLoop.RunFor(10);
        h.TickAt(9, 0, 1 + i / 20, 5 + 25 * (i % 20));
    }
    ASSERT_EQ(h.vars().CrosspointMap.size(), 16u);

    // The first bytes of a map message, then the connection breaks.
    sim_.SendRaw(sim_.MapMessages().at(0).substr(0, 6));
    h.realLoop.RunFor(50);
    sim_.DropConnections();
    ASSERT_TRUE(WaitFor([&] { return Dropped(); }));
    h.TickAt(9, 0, 3);
    EXPECT_TRUE(WaitFor([&] { return Online(); })) << ToHex(h.vars().RecvBuffer[0]);
    Second(9, 0, 5);
    ASSERT_TRUE(WaitFor([&] { return !Salvos(sim_).empty(); }));
    EXPECT_THAT(Salvos(sim_), ElementsAre("EA 64 06 00 6A FF"));
}

}  // namespace
}  // namespace qtx::test
