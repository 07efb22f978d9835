// The two links: coming up through the simulator's announcement, captions, losing and regaining
// each link on its own, the poll limit, and peers that refuse, stay silent or are not set.
#include <gtest/gtest.h>

#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

class Links : public LinkHarness {
  protected:
    Links() : LinkHarness(With(&sim::SimOptions::Outputs, 4), With(&sim::SimOptions::Outputs, 4)) {}
    size_t Polls(const sim::SwitcherSim& s) { return s.FramesWithCode(frames::Poll).size(); }
    size_t InfoRequests() { return server_.FramesWithCode(frames::Info).size(); }
};

TEST_F(Links, OfflineOrDisconnectedEachLinkLeavesTheOtherAlone) {
    EnableSlave();
    StartAndWait();
    EXPECT_EQ(LinkState(), "up online mapped/4 | up online mapped/4");
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Connected");
    EXPECT_EQ(InfoRequests(), 1u);

    view_.Minimized = true;
    server_.GoOffline();
    ASSERT_TRUE(Until([&] { return !vars_.SwitcherConnected; }));
    EXPECT_EQ(LinkState(), "up/1 | up online mapped/4");  // the TCP link stays up
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Not Connected");
    EXPECT_EQ(view_.TrayIcon, 2);
    // Polls go on while offline; back online the map is asked for again.
    for (int i = 0; i < 3; ++i)
        Tick();
    ASSERT_TRUE(Until([&] { return Polls(server_) > 0; }));
    server_.GoOnline();
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[0]; }));
    EXPECT_EQ(InfoRequests(), 2u);
    EXPECT_EQ(view_.TrayIcon, 1);

    slave_.GoOffline();
    ASSERT_TRUE(Until([&] { return !vars_.SlaveSwitcherConnected; }));
    EXPECT_EQ(LinkState(), "up online mapped/4 | up/1");
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Connected");
    slave_.GoOnline();
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[1]; }));
    server_.DropConnections();
    ASSERT_TRUE(Until([&] { return !vars_.ServerConnected; }));
    EXPECT_EQ(LinkState(), "down/1 | up online mapped/4");
    EXPECT_EQ(view_.Caption, "QTX Automation - Server Not Connected");
    EXPECT_EQ(view_.Icon, 2);
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, PollLimitDropsLinkZeroOnlyAndTheNextTickReconnects) {
    // 201 polls unanswered on both links (the count up to the limit is an engine test's).
    EnableSlave();
    StartAndWait();
    vars_.PollCount = {201, 201};
    vars_.TickCounter = 2;
    Tick();  // a poll time
    EXPECT_EQ(LinkState(), "down/1 | up online mapped/4");
    ASSERT_TRUE(Until([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(Polls(slave_), 0u);  // link 1 is neither polled nor dropped
    EXPECT_EQ(vars_.PollCount[1], 201);
    Tick();
    ASSERT_TRUE(Until([&] { return vars_.ServerConnected && vars_.SwitcherConnected; }));
    EXPECT_EQ(vars_.PollCount[0], 0);
}

TEST_F(Links, UnsetOrInvalidAddressesNeverReachTheLocalHost) {
    // On Linux a connect to 0.0.0.0 reaches the local host: a simulator there on the slave's
    // port (a free one; 1250 may be in use by a running demo) must see nobody.
    sim::SwitcherSim local(loop_);
    const int32_t port = local.Listen(0, "127.0.0.1");
    vars_.SlaveIPPort = port;
    StartAndWait();
    for (int i = 0; i < 6; ++i)
        Tick();
    auto attempt = [&](const std::string& address, int32_t p) {
        vars_.ServerIPAddr = address;
        vars_.ServerIPPort = p;
        tcp_.ConnectServer();
        EXPECT_FALSE(tcp_.Socket(0)->IsConnecting()) << address << ":" << p;
    };
    for (const char* address : {"0.0.0.0", "", "localhost", "127.1"})
        attempt(address, port);
    for (int32_t p : {0, -5, 70000})
        attempt("127.0.0.1", p);
    loop_.RunFor(200);
    EXPECT_EQ(local.ClientCount(), 0u);
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, SilentAndRefusingPeersLeaveTheLinkDownAndRetriedEachTick) {
    server_.StopListening();
    const int32_t refusing = vars_.ServerIPPort;
    // A full backlog (0, filled by one connection, never accepted) never completes a handshake.
    sim::SwitcherSim silent(loop_, With(&sim::SimOptions::Backlog, 0));
    vars_.ServerIPPort = silent.Listen();
    silent.SetAccepting(false);
    SocketWrench filler(loop_);
    ASSERT_EQ(StartConnection(filler, "127.0.0.1", vars_.ServerIPPort), 0);
    ASSERT_TRUE(Until([&] { return filler.IsConnected(); }));
    for (int i = 0; i < 3; ++i) {
        Tick();
        EXPECT_TRUE(tcp_.Socket(0)->IsConnecting());
        loop_.RunFor(500);
    }
    vars_.ServerIPPort = refusing;  // a refusal ends the attempt quietly
    Tick();
    loop_.RunFor(100);
    EXPECT_FALSE(vars_.ServerConnected || tcp_.Socket(0)->IsConnecting());
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, ADisconnectThatFaultsIsReportedNotThrown) {
    // Socket 1 was never made in this engine: the slave's disconnect handling faults.
    TcpComm fresh(vars_, logs_, view_, loop_);
    EXPECT_NO_THROW(fresh.scktServer_Disconnect(1));
    EXPECT_NE(ErrorLog().find("Error Handling Switcher Disconnect"), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
