// The whole engine losing its switcher links in the ways a facility loses them: the simulator
// killed and restarted, a refused port, a peer that never speaks, a switcher that stops
// answering polls, a frame cut off by a dropped connection, a slave that goes away. Events in
// the gap are refused with their reason, the links come back, and no event's frame is sent
// twice or lost once the link is up.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "hardening/Hardening.h"
#include "switcher/sim/SwitcherSim.h"

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

EventRow SalvoEvent(int number, const std::string& time, const std::string& title, int salvo) {
    return With(Event(number, 0, time, title), {{"scontrol", 1}, {"Salvo", salvo}});
}

// A port that completes connections in the kernel's backlog and never reads or writes.
class SilentPeer {
  public:
    SilentPeer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 16);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~SilentPeer() { ::close(fd_); }
    int Port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

class LinkFault : public ::testing::Test {
  protected:
    void StartOn(int port, const std::vector<EventRow>& rows, const std::string& slave = "0.0.0.0",
                 int slavePort = 1) {
        h.WriteDatabase(rows, "127.0.0.1", port, slave);
        if (slave != "0.0.0.0")
            h.Sql("UPDATE Server SET SlaveIPPort = '" + std::to_string(slavePort) + "'");
        h.Start();
    }
    bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
        return h.realLoop.RunUntil(done, ms);
    }
    bool Online() { return h.vars().SwitcherConnected && h.vars().MapReceived[0]; }
    // Two ticks of one second with time for frames to cross between and after them.
    void Second(int hh, int mm, int ss) {
        h.TickAt(hh, mm, ss);
        h.realLoop.RunFor(40);
        h.TickAt(hh, mm, ss, 505);
        h.realLoop.RunFor(20);
    }
    // Ticks every 500 ms from hh:mm:ss on, without real waiting, until done() holds or
    // maxTicks have run; returns the ticks run.
    int FastTicks(int hh, int mm, int ss, int maxTicks, const std::function<bool()>& done) {
        int t = (hh * 3600 + mm * 60 + ss) * 2;
        for (int n = 1; n <= maxTicks; ++n, ++t) {
            h.TickAt(t / 7200, t / 120 % 60, t / 2 % 60, t % 2 ? 505 : 5);
            h.realLoop.RunOnce(0);
            if (done())
                return n;
        }
        return maxTicks;
    }

    EngineHarness h{kMonday};
};

TEST_F(LinkFault, KilledSimulatorRefusesQuietlyAndARestartedOneGetsTheNextEventOnce) {
    auto sim = std::make_unique<SwitcherSim>(h.realLoop);
    const int port = sim->Listen();
    StartOn(port, {SalvoEvent(1, "09:00:01", "one", 1), SalvoEvent(2, "09:00:05", "two", 2),
                   SalvoEvent(3, "09:00:09", "three", 3), Event(4, 1, "08:00:00", "tue")});
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    Second(9, 0, 1);
    ASSERT_TRUE(WaitFor([&] { return Salvos(*sim).size() == 1; }));

    sim.reset();  // the switcher's process is gone: its port refuses
    ASSERT_TRUE(WaitFor([&] { return !h.vars().ServerConnected; }));
    EXPECT_EQ(h.view.Caption, "QTX Automation - Server Not Connected");
    for (int s = 2; s <= 5; ++s)
        Second(9, 0, s);  // a refused attempt every tick
    EXPECT_THAT(h.ErrorLines(), IsEmpty());

    sim = std::make_unique<SwitcherSim>(h.realLoop);
    sim->Listen(port);
    h.TickAt(9, 0, 6);
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    EXPECT_EQ(h.view.Caption, "QTX Automation - Switcher Connected");
    Second(9, 0, 9);
    ASSERT_TRUE(WaitFor([&] { return !Salvos(*sim).empty(); }));
    h.realLoop.RunFor(50);
    EXPECT_THAT(Salvos(*sim), ElementsAre("EA 64 02 00 66 FF"));
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("Send Execute Salvo Number 1",
                                                  "two not executed - Server not connected",
                                                  "Send Execute Salvo Number 3"));
}

TEST_F(LinkFault, PeerThatAcceptsButNeverSpeaksIsRefusedAndDroppedAtItsPollLimit) {
    SilentPeer peer;
    StartOn(peer.Port(), {Event(1, 0, "09:00:01", "quiet"), Event(2, 1, "08:00:00", "tue")});
    ASSERT_TRUE(WaitFor([&] { return h.vars().ServerConnected; }));
    Second(9, 0, 1);
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("quiet not executed - Switcher not connected"));
    EXPECT_EQ(h.view.Caption, "QTX Automation - Server Not Connected");

    // 201 unanswered polls keep the link; the next poll time drops it.
    const int ticks = FastTicks(9, 0, 2, 700, [&] { return !h.vars().ServerConnected; });
    EXPECT_GE(ticks, 3 * 201);
    EXPECT_LE(ticks, 3 * 202 + 2);
    EXPECT_FALSE(h.vars().ServerConnected);
    FastTicks(9, 10, 0, 1, [] { return false; });  // the next tick connects again
    ASSERT_TRUE(WaitFor([&] { return h.vars().ServerConnected; }));
    // The new connection gets its own 201 polls: it is not dropped at its first poll time.
    FastTicks(9, 10, 1, 30, [&] { return !h.vars().ServerConnected; });
    EXPECT_TRUE(h.vars().ServerConnected);
    EXPECT_THAT(h.ErrorLines(), IsEmpty());
}

TEST_F(LinkFault, SwitcherThatStopsAnsweringPollsIsDroppedAndReconnectedAndRunsTheNextEvent) {
    SwitcherSim sim(h.realLoop);
    StartOn(sim.Listen(), {SalvoEvent(1, "09:02:00", "during", 1),
                           SalvoEvent(2, "09:20:00", "after", 2), Event(3, 1, "08:00:00", "tue")});
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    sim.SetAnswering(false);
    const int ticks = FastTicks(9, 0, 1, 700, [&] { return !h.vars().ServerConnected; });
    EXPECT_GE(ticks, 3 * 201);
    EXPECT_EQ(h.view.Caption, "QTX Automation - Server Not Connected");
    h.realLoop.RunFor(50);
    // The switcher went quiet but never said it was offline: the event at 09:02 still went out.
    EXPECT_THAT(Salvos(sim), ElementsAre("EA 64 00 00 64 FF"));

    sim.SetAnswering(true);
    FastTicks(9, 15, 0, 1, [] { return false; });
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    Second(9, 20, 0);
    ASSERT_TRUE(WaitFor([&] { return Salvos(sim).size() == 2; }));
    h.realLoop.RunFor(50);
    EXPECT_THAT(Salvos(sim), ElementsAre("EA 64 00 00 64 FF", "EA 64 01 00 65 FF"));
    EXPECT_THAT(h.ActivityMessages(),
                ElementsAre("Send Execute Salvo Number 1", "Send Execute Salvo Number 2"));
}

TEST_F(LinkFault, FrameCutOffByADroppedConnectionDoesNotSpoilTheNextConnection) {
    SwitcherSim sim(h.realLoop);
    StartOn(sim.Listen(), {SalvoEvent(1, "09:00:05", "next", 1), Event(2, 1, "08:00:00", "tue")});
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    // The first bytes of a map message, then the connection breaks.
    const std::string map = sim.MapMessages().at(0);
    sim.SendRaw(map.substr(0, 6));
    h.realLoop.RunFor(50);
    sim.DropConnections();
    ASSERT_TRUE(WaitFor([&] { return !h.vars().ServerConnected; }));
    h.TickAt(9, 0, 1);
    EXPECT_TRUE(WaitFor([&] { return Online(); })) << ToHex(h.vars().RecvBuffer[0]);
    Second(9, 0, 5);
    ASSERT_TRUE(WaitFor([&] { return !Salvos(sim).empty(); }));
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("Send Execute Salvo Number 1"));
}

TEST_F(LinkFault, FramesArrivingInPiecesAmongGarbageAreTakenWhole) {
    SwitcherSim sim(h.realLoop);
    StartOn(
        sim.Listen(),
        {With(Event(1, 0, "09:00:05", "ifon"),
              {{"Condition", 1}, {"ReqSource", 1}, {"ReqDest", 1}, {"scontrol", 1}, {"Salvo", 7}}),
         Event(2, 1, "08:00:00", "tue")});
    ASSERT_TRUE(WaitFor([&] { return Online(); }));
    h.vars().CrosspointMap.assign(1, CrosspointEntry{});  // forget output 0
    sim.SendGarbage(5, 3);
    sim.SendInPieces(sim.MapMessages().at(0), 3, 5);
    // One message per tick and per read: tick quickly while the pieces arrive.
    for (int i = 0; i < 40 && h.vars().CrosspointMap.size() < 16; ++i) {
        h.realLoop.RunFor(10);
        h.TickAt(9, 0, 1 + i / 20, 5 + 25 * (i % 20));
    }
    ASSERT_EQ(h.vars().CrosspointMap.size(), 16u);
    Second(9, 0, 5);
    ASSERT_TRUE(WaitFor([&] { return !Salvos(sim).empty(); }));
    EXPECT_THAT(Salvos(sim), ElementsAre("EA 64 06 00 6A FF"));
}

TEST_F(LinkFault, SlaveThatGoesAwayCostsNoEventOnTheServerLink) {
    SwitcherSim server(h.realLoop);
    auto slave = std::make_unique<SwitcherSim>(h.realLoop);
    const int slavePort = slave->Listen();
    StartOn(server.Listen(),
            {SalvoEvent(1, "09:00:01", "one", 1), SalvoEvent(2, "09:00:03", "two", 2),
             SalvoEvent(3, "09:00:06", "three", 3), Event(4, 1, "08:00:00", "tue")},
            "127.0.0.1", slavePort);
    ASSERT_TRUE(WaitFor([&] { return Online() && h.vars().SlaveSwitcherConnected; }));
    Second(9, 0, 1);
    slave.reset();
    ASSERT_TRUE(WaitFor([&] { return !h.vars().SlaveConnected; }));
    Second(9, 0, 2);  // the slave's port refuses now; retried quietly
    Second(9, 0, 3);
    EXPECT_TRUE(h.vars().ServerConnected && h.vars().SwitcherConnected);
    // The write on the missing slave link is reported; the server's frame went out first.
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error sending to switcher"));

    slave = std::make_unique<SwitcherSim>(h.realLoop);
    slave->Listen(slavePort);
    h.TickAt(9, 0, 4);
    ASSERT_TRUE(WaitFor([&] { return h.vars().SlaveSwitcherConnected; }));
    Second(9, 0, 6);
    ASSERT_TRUE(WaitFor([&] { return Salvos(server).size() == 3 && !Salvos(*slave).empty(); }));
    h.realLoop.RunFor(50);
    EXPECT_THAT(Salvos(server),
                ElementsAre("EA 64 00 00 64 FF", "EA 64 01 00 65 FF", "EA 64 02 00 66 FF"));
    EXPECT_THAT(Salvos(*slave), ElementsAre("EA 64 02 00 66 FF"));
    EXPECT_THAT(h.ActivityMessages(),
                ElementsAre("Send Execute Salvo Number 1", "Send Execute Salvo Number 2",
                            "Send Execute Salvo Number 3"));
}

}  // namespace
}  // namespace qtx::test
