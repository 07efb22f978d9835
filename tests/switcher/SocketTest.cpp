// The poll loop (the tick's wall-clock phase, re-entrant pumping, watches removed from inside
// their own callbacks) and the socket layer under back-pressure: a link never cuts or reorders a
// frame, a peer that stops reading is dropped, reads tell "no more data" from failures, and the
// message socket tells the true count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

TEST(PollEventLoop, TheTickFallsJustAfterEachHalfSecond) {
    PollEventLoop loop;
    std::vector<int64_t> at;
    loop.AddTimer(500, 5, [&] {
        using namespace std::chrono;
        at.push_back(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    });
    loop.RunUntil([&] { return at.size() >= 4; }, 3000);
    ASSERT_EQ(at.size(), 4u);
    for (int64_t t : at) {
        EXPECT_GE(t % 500, 5);
        EXPECT_LE(t % 500, 40) << "fired at ." << t % 1000;
    }
}

TEST(PollEventLoop, APumpInsideACallbackSkipsThatCallbackAndWatchesMayDeleteThemselves) {
    PollEventLoop loop;
    int runs = 0, inner = 0, calls = 0;
    loop.AddTimer(20, -1, [&] {
        ++runs;
        for (int i = 0; i < 5; ++i)
            loop.Pump();
    });
    loop.AddTimer(20, -1, [&] { ++inner; });
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EventLoop::WatchId id = loop.AddWatch(fds[0], EventLoop::Readable, [&](unsigned ready) {
        calls += (ready & EventLoop::Readable) ? 1 : 100;
        loop.DeleteWatch(id);
    });
    loop.AddTimer(110, -1, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_GE(runs, 3);
    EXPECT_LE(runs, 6);
    EXPECT_GE(inner, 3);
    EXPECT_EQ(calls, 1);
    ::close(fds[0]);
    ::close(fds[1]);
}

class Sockets : public LinkHarness {
  protected:
    Sockets() : LinkHarness(With(&sim::SimOptions::ReceiveBuffer, 4096)) {}
    void SetUp() override {
        StartAndWait();
        server_.SetReading(false);
    }
    SocketWrench& Link() { return *tcp_.Socket(0); }
};

TEST_F(Sockets, ALinkSendsItsUnsentRestInOrderAndDropsAPeerThatStopsReading) {
    // Text frames of 32 KiB each, numbered by their first character, until the kernel is full.
    std::vector<std::string> sent;
    for (int i = 0; Link().UnsentBytes() == 0 && i < 200; ++i) {
        sent.push_back(
            frames::TextFrame(std::string(16000, static_cast<char>('a' + i % 26)), 0, 0, 0));
        tcp_.SendToSwitcher(sent.back());
    }
    ASSERT_GT(Link().UnsentBytes(), 0u) << "the kernel never filled up";
    for (uint8_t i = 0; i < 2; ++i) {
        sent.push_back(frames::TextFrame("tail", 0, 0, i));
        tcp_.SendToSwitcher(sent.back());
    }
    EXPECT_EQ(ErrorLog(), "");
    server_.SetReading(true);
    ASSERT_TRUE(Until([&] { return server_.Frames().size() >= 1 + sent.size(); }, 5000));
    std::vector<std::string> got;
    for (const auto& f : server_.Frames())
        if (static_cast<uint8_t>(f.Bytes[0]) == frames::Text)
            got.push_back(f.Bytes);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " frames intact";
    EXPECT_EQ(Link().UnsentBytes(), 0u);

    // A rest beyond its bound: the peer has stopped reading.
    server_.SetReading(false);
    Link().MaxUnsentRest = 64 * 1024;
    for (int i = 0; i < 400 && vars_.ServerConnected && Link().IsConnected(); ++i)
        tcp_.SendToSwitcher(sent.front());
    EXPECT_FALSE(Link().IsConnected());
    EXPECT_NE(ErrorLog().find("Error sending to switcher"), std::string::npos);
    ASSERT_TRUE(Until([&] { return !vars_.ServerConnected; }));
    EXPECT_EQ(Link().UnsentBytes(), 0u);
    // Released, then reconnected by the next tick, with nothing stale sent first.
    server_.SetReading(true);
    server_.ClearFrames();
    Tick();
    ASSERT_TRUE(Until([&] { return vars_.MapReceived[0]; }));
    EXPECT_EQ(Wire(server_).front(), "F2 00 01 00 00 00 00 00 00 00 00 01 FF");
}

TEST_F(Sockets, ReadsTellNoMoreDataFromFailuresAndTheMessageSocketTellsTheTrueCount) {
    std::string buf;
    EXPECT_LT(Link().Read(buf, 100), 1);
    EXPECT_EQ(Link().LastError(), faults::SocketWouldBlock);  // connected, nothing waiting
    SocketWrench m(loop_);
    EXPECT_LT(m.Read(buf, 100), 1);
    EXPECT_NE(m.LastError(), faults::SocketWouldBlock);  // not connected: a real failure
    const std::string block(1 << 20, 'm');
    EXPECT_THROW(m.Write(block, 10), Fault);
    EXPECT_EQ(m.LastError(), faults::SocketNotConnected);
    bool connected = false;
    m.OnConnect = [&] { connected = true; };
    ASSERT_EQ(StartConnection(m, "127.0.0.1", vars_.ServerIPPort), 0);
    EXPECT_FALSE(connected);  // announced from the loop only
    ASSERT_TRUE(Until([&] { return connected; }));
    int32_t n = 0;
    for (int i = 0; i < 64 && (n = m.Write(block, static_cast<int32_t>(block.size()))) > 0; ++i)
        EXPECT_EQ(n, m.BytesSent());
    EXPECT_EQ(m.LastError(), faults::SocketWouldBlock);
    EXPECT_EQ(m.UnsentBytes(), 0u);  // no rest kept: the sender gets the true count
}

}  // namespace
}  // namespace qtx::test
