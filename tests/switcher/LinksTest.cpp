// The two links: coming up through the simulator's announcement, captions, losing and regaining
// each link on its own, the poll limit, and peers that refuse, stay silent or are not set.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "switcher/Frames.h"
#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

using sim::ToHex;

sim::SimOptions Small() {
    sim::SimOptions o;
    o.Outputs = 4;
    return o;
}

class Links : public LinkHarness {
  protected:
    Links() : LinkHarness(Small(), Small()) {}
};

TEST_F(Links, OnlineOfflineCycleWithMapRequest) {
    StartAndWait();
    EXPECT_TRUE(vars_.SwitcherConnected);
    EXPECT_EQ(vars_.CrosspointMap.size(), 4u);
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Connected");
    EXPECT_EQ(server_.FramesWithCode(frames::Info).size(), 1u);

    view_.Minimized = true;
    server_.GoOffline();
    ASSERT_TRUE(Until([&] { return !vars_.SwitcherConnected; }));
    EXPECT_TRUE(vars_.ServerConnected);  // the TCP link stays up
    EXPECT_FALSE(vars_.MapReceived[0]);
    EXPECT_EQ(vars_.CrosspointMap.size(), 1u);
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Not Connected");
    EXPECT_EQ(view_.TrayIcon, 2);

    // Polls go on while offline; back online the map is asked for again.
    for (int i = 0; i < 3; ++i)
        Tick();
    ASSERT_TRUE(Until([&] { return !server_.FramesWithCode(frames::Poll).empty(); }));
    server_.GoOnline();
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[0]; }));
    EXPECT_EQ(server_.FramesWithCode(frames::Info).size(), 2u);
    EXPECT_EQ(view_.TrayIcon, 1);
}

TEST_F(Links, LosingEitherLinkLeavesTheOtherAlone) {
    EnableSlave();
    StartAndWait();
    ASSERT_EQ(vars_.SlaveCrosspointMap.size(), 4u);

    slave_.DropConnections();
    ASSERT_TRUE(Until([&] { return !vars_.SlaveConnected; }));
    EXPECT_FALSE(vars_.SlaveSwitcherConnected);
    EXPECT_EQ(vars_.SlaveCrosspointMap.size(), 1u);
    EXPECT_TRUE(vars_.ServerConnected && vars_.SwitcherConnected && vars_.MapReceived[0]);
    EXPECT_EQ(vars_.CrosspointMap.size(), 4u);
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Connected");

    Tick();  // reconnects the slave only
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[1]; }));

    server_.DropConnections();
    ASSERT_TRUE(Until([&] { return !vars_.ServerConnected; }));
    EXPECT_EQ(view_.Caption, "QTX Automation - Server Not Connected");
    EXPECT_EQ(view_.Icon, 2);
    EXPECT_EQ(vars_.CrosspointMap.size(), 1u);
    EXPECT_TRUE(vars_.SlaveConnected && vars_.SlaveSwitcherConnected && vars_.MapReceived[1]);
    EXPECT_EQ(vars_.SlaveCrosspointMap.size(), 4u);
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, PollLimitDropsLinkZeroAndTheNextTickReconnects) {
    EnableSlave();
    StartAndWait();
    server_.SetAnswering(false);
    slave_.SetAnswering(false);
    vars_.PollCount = {195, 195};
    int polls0 = 0;
    for (int i = 0; i < 6 * 3; ++i) {
        Tick();
        loop_.Pump();
    }
    // 6 more polls reach 201 on link 0 and stop there on link 1, which is never dropped.
    ASSERT_TRUE(Until([&] { return server_.FramesWithCode(frames::Poll).size() == 6; }));
    polls0 = static_cast<int>(server_.FramesWithCode(frames::Poll).size());
    EXPECT_EQ(polls0, 6);
    EXPECT_EQ(vars_.PollCount[0], 201);
    EXPECT_TRUE(vars_.ServerConnected);

    vars_.TickCounter = 2;
    Tick();  // the 202nd poll time: dropped
    EXPECT_FALSE(vars_.ServerConnected);
    EXPECT_FALSE(vars_.SwitcherConnected);
    EXPECT_EQ(view_.Caption, "QTX Automation - Server Not Connected");
    ASSERT_TRUE(Until([&] { return server_.ClientCount() == 0; }));
    EXPECT_TRUE(vars_.SlaveConnected);
    EXPECT_EQ(slave_.FramesWithCode(frames::Poll).size(), 6u);
    EXPECT_EQ(vars_.PollCount[1], 201);

    server_.SetAnswering(true);
    Tick();
    ASSERT_TRUE(Until([&] { return vars_.ServerConnected && vars_.SwitcherConnected; }));
    EXPECT_EQ(vars_.PollCount[0], 0);
}

TEST_F(Links, NoSlaveConfiguredMeansOneHarmlessAttemptAndNothingMore) {
    // A simulator on the local host at the slave port must not be reached through 0.0.0.0
    // (on Linux a connect to 0.0.0.0 reaches the local host). The default port 1250 may be in
    // use by a running demo, so a free port stands in for it.
    sim::SwitcherSim local(loop_);
    vars_.SlaveIPPort = local.Listen(0, "127.0.0.1");
    StartAndWait();
    EXPECT_TRUE(vars_.SlaveSocketLoaded);
    for (int i = 0; i < 6; ++i)
        Tick();
    loop_.RunFor(200);
    EXPECT_EQ(local.ClientCount(), 0u);
    EXPECT_FALSE(vars_.SlaveConnected);
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, InvalidAddressesAndPortsStartNoAttempt) {
    for (auto [addr, port] : std::vector<std::pair<std::string, int32_t>>{{"0.0.0.0", 1250},
                                                                          {"", 1250},
                                                                          {"localhost", 1250},
                                                                          {"127.1", 1250},
                                                                          {"127.0.0.1", 0},
                                                                          {"127.0.0.1", -5},
                                                                          {"127.0.0.1", 70000}}) {
        vars_.ServerIPAddr = addr;
        vars_.ServerIPPort = port;
        tcp_->ConnectServer();
        EXPECT_FALSE(tcp_->Socket(0)->IsConnecting()) << addr << ":" << port;
    }
    loop_.RunFor(100);
    EXPECT_FALSE(vars_.ServerConnected);
    EXPECT_EQ(server_.ClientCount(), 0u);
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, RefusedPeerLeavesTheLinkDownAndRetried) {
    server_.StopListening();
    tcp_->StartLinks();
    loop_.RunFor(100);
    EXPECT_FALSE(vars_.ServerConnected);
    EXPECT_FALSE(tcp_->Socket(0)->IsConnecting());
    // Listening again on the same port: the next tick gets through.
    server_.Listen(vars_.ServerIPPort);
    Tick();
    ASSERT_TRUE(Until([&] { return vars_.ServerConnected && vars_.SwitcherConnected; }));
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Links, APeerThatNeverCompletesTheHandshakeIsRetriedEachTick) {
    // Backlog 0 takes one connection; the filler occupies it, so later handshakes hang.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    vars_.ServerIPPort = ntohs(sa.sin_port);
    for (int i = 0; i < 4; ++i) {
        Tick();
        EXPECT_TRUE(tcp_->Socket(0)->IsConnecting());
        loop_.RunFor(500);
    }
    EXPECT_FALSE(vars_.ServerConnected);
    ::close(filler);
    ::close(listener);
}

TEST_F(Links, ADisconnectThatFaultsIsReportedNotThrown) {
    StartAndWait();
    vars_.SlaveSocketLoaded = false;
    // Socket 1 was never made in this engine: the slave's disconnect handling faults.
    TcpComm fresh(vars_, logs_, view_, loop_);
    EXPECT_NO_THROW(fresh.scktServer_Disconnect(1));
    EXPECT_NE(ErrorLog().find("Error Handling Switcher Disconnect"), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
