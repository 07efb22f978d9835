// The socket layer under back-pressure and in pieces: frames arrive whole however they are cut,
// a link never cuts or reorders a frame, a peer that stops reading is dropped, and the message
// socket tells the true count.
#include <gtest/gtest.h>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "switcher/Frames.h"
#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

using sim::FromHex;
using sim::ToHex;

sim::SimOptions SmallBuffers() {
    sim::SimOptions o;
    o.Outputs = 3;
    o.ReceiveBuffer = 4096;
    return o;
}

class Sockets : public LinkHarness {
  protected:
    Sockets() : LinkHarness(SmallBuffers()) {}
    void SetUp() override { StartAndWait(); }
};

TEST_F(Sockets, FramesArrivingInPiecesAfterGarbageAreHandledWhole) {
    server_.SendGarbage(5);
    server_.SendInPieces(frames::CrosspointFrame(frames::CmdTake, 2, 1) + FromHex("F3"), 2, 20);
    // One message (or one skipped byte) per read event and per tick.
    for (int i = 0; i < 40 && vars_.CrosspointMap[1].Sources != std::vector<int16_t>{2}; ++i) {
        loop_.RunFor(10);
        Tick();
    }
    EXPECT_EQ(vars_.CrosspointMap[1].Sources, std::vector<int16_t>{2});
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(Sockets, ALinkKeepsItsUnsentRestAndSendsItInOrder) {
    server_.SetReading(false);
    SocketWrench& s = *tcp_->Socket(0);
    // Text frames of 32 KiB each, numbered by their first character.
    std::vector<std::string> sent;
    for (int i = 0; s.UnsentBytes() == 0 && i < 200; ++i) {
        sent.push_back(
            frames::TextFrame(std::string(16000, static_cast<char>('a' + i % 26)), 0, 0, 0));
        tcp_->SendToSwitcher(sent.back());
    }
    ASSERT_GT(s.UnsentBytes(), 0u) << "the kernel never filled up";
    for (int i = 0; i < 2; ++i) {
        sent.push_back(frames::TextFrame("tail", 0, 0, static_cast<uint8_t>(i)));
        tcp_->SendToSwitcher(sent.back());
    }
    EXPECT_EQ(ErrorLog(), "");
    server_.SetReading(true);
    ASSERT_TRUE(Until([&] { return server_.Frames().size() >= 1 + sent.size(); }, 5000));
    std::vector<std::string> got;
    for (const auto& f : server_.Frames())
        if (static_cast<uint8_t>(f.Bytes[0]) == frames::Text)
            got.push_back(f.Bytes);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " frames intact";
    EXPECT_EQ(s.UnsentBytes(), 0u);
}

TEST_F(Sockets, APeerThatStopsReadingIsDropped) {
    server_.SetReading(false);
    SocketWrench& s = *tcp_->Socket(0);
    s.MaxUnsentRest = 64 * 1024;
    const std::string big = frames::TextFrame(std::string(16000, 'z'), 0, 0, 0);
    for (int i = 0; i < 400 && vars_.ServerConnected && s.IsConnected(); ++i)
        tcp_->SendToSwitcher(big);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_NE(ErrorLog().find("Error sending to switcher"), std::string::npos);
    ASSERT_TRUE(Until([&] { return !vars_.ServerConnected; }));
    EXPECT_EQ(view_.Caption, "QTX Automation - Server Not Connected");
    EXPECT_EQ(s.UnsentBytes(), 0u);
    // Released, then reconnected by the next tick, with nothing stale sent first.
    server_.SetReading(true);
    server_.ClearFrames();
    Tick();
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[0]; }));
    EXPECT_EQ(ToHex(server_.Frames().front().Bytes), "F2 00 01 00 00 00 00 00 00 00 00 01 FF");
}

TEST_F(Sockets, ReleaseDropsTheUnsentRest) {
    server_.SetReading(false);
    SocketWrench& s = *tcp_->Socket(0);
    for (int i = 0; s.UnsentBytes() == 0 && i < 200; ++i)
        tcp_->SendToSwitcher(frames::TextFrame(std::string(16000, 'q'), 0, 0, 0));
    ASSERT_GT(s.UnsentBytes(), 0u);
    s.Release();
    EXPECT_EQ(s.UnsentBytes(), 0u);
    EXPECT_FALSE(s.IsConnected());
}

TEST_F(Sockets, TheMessageSocketReportsTheTrueCountAndFaultsWhenNotConnected) {
    SocketWrench m(loop_);
    std::string block(1 << 20, 'm');
    EXPECT_THROW(m.Write(block, 10), Fault);
    EXPECT_EQ(m.LastError(), faults::SocketNotConnected);
    EXPECT_FALSE(m.IsWritable());

    server_.SetReading(false);
    m.HostAddress = "127.0.0.1";
    m.RemotePort = vars_.ServerIPPort;
    bool connected = false;
    m.OnConnect = [&] { connected = true; };
    ASSERT_EQ(m.Connect(), 0);
    EXPECT_FALSE(connected);  // announced from the loop only
    ASSERT_TRUE(Until([&] { return connected; }));
    int64_t total = 0;
    int32_t n;
    while ((n = m.Write(block, static_cast<int32_t>(block.size()))) > 0) {
        EXPECT_EQ(n, m.BytesSent());
        EXPECT_LE(n, static_cast<int32_t>(block.size()));
        total += n;
    }
    EXPECT_EQ(m.LastError(), faults::SocketWouldBlock);
    EXPECT_FALSE(m.IsWritable());
    EXPECT_GT(total, 0);
    EXPECT_LT(total, 64 << 20);
    EXPECT_EQ(m.UnsentBytes(), 0u);
}

TEST_F(Sockets, ReadTellsNoMoreDataFromTheEndOfTheStream) {
    SocketWrench& s = *tcp_->Socket(0);
    std::string buf;
    EXPECT_LT(s.Read(buf, 100), 1);
    EXPECT_EQ(s.LastError(), faults::SocketWouldBlock);
    server_.DropConnections();
    ASSERT_TRUE(Until([&] { return !vars_.ServerConnected; }));
    EXPECT_LT(s.Read(buf, 100), 1);
    EXPECT_NE(s.LastError(), faults::SocketWouldBlock);
}

}  // namespace
}  // namespace qtx::test
