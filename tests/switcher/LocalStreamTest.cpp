// The in-process streams the preview reaches its simulator through: nothing is handed over
// inside a write, readiness is level-triggered like poll(2)'s, a closed end is seen by its peer,
// and a link socket on such a stream behaves as on TCP (connect, announce, poll answered, drop).
#include <gtest/gtest.h>

#include "common/Fault.h"
#include "common/PollEventLoop.h"
#include "switcher/Frames.h"
#include "switcher/LocalStream.h"
#include "switcher/SocketWrench.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

TEST(LocalStreams, BytesArriveInOrderOnARoundAndUnreadBytesAreToldAgain) {
    LocalStreams streams;
    LocalStreams::Pair& pair = streams.Open();
    int toldA = 0, toldB = 0;
    std::string atB;
    pair.Connecting.OnReady = [&] { ++toldA; };
    pair.Accepting.OnReady = [&] {
        ++toldB;
        char c;
        if (pair.Accepting.Read(&c, 1) == 1)  // one byte per round: the rest waits
            atB.push_back(c);
    };
    ASSERT_TRUE(streams.Deliver());  // a new connection is news to both ends
    EXPECT_EQ(toldA, 1);
    EXPECT_EQ(toldB, 1);
    EXPECT_FALSE(streams.Deliver());

    ASSERT_TRUE(pair.Connecting.Write("ab", 2));
    ASSERT_TRUE(pair.Connecting.Write("c", 1));
    EXPECT_EQ(toldB, 1) << "nothing is handed over inside a write";
    EXPECT_EQ(pair.Accepting.Waiting(), 3u);
    for (int round = 0; round < 5; ++round)
        streams.Deliver();
    EXPECT_EQ(atB, "abc");
    EXPECT_EQ(toldB, 4);
    EXPECT_EQ(toldA, 1) << "the writer is not told of its own bytes";
}

TEST(LocalStreams, AClosedEndIsSeenByItsPeerAndRefusesWrites) {
    LocalStreams streams;
    LocalStreams::Pair& pair = streams.Open();
    pair.Connecting.Write("xy", 2);
    pair.Accepting.Close();
    EXPECT_FALSE(pair.Connecting.Write("z", 1));
    EXPECT_FALSE(pair.Accepting.Write("z", 1));
    EXPECT_TRUE(pair.Connecting.PeerClosed());
    EXPECT_EQ(pair.Accepting.Waiting(), 0u) << "what was waiting is dropped with the end";
    int told = 0;
    pair.Connecting.OnReady = [&] { ++told; };
    streams.Deliver();
    streams.Deliver();
    EXPECT_EQ(told, 2) << "the peer's end stays ready until it is closed too";
    pair.Connecting.Close();
    EXPECT_FALSE(streams.Deliver());
}

// A link socket dialled into the simulator in-process, the way the preview connects its engine.
struct LocalLink : ::testing::Test {
    PollEventLoop loop;
    LocalStreams streams;
    sim::SwitcherSim switcher{loop};
    SocketWrench socket{loop};
    int connects = 0, disconnects = 0;
    std::string received;

    void SetUp() override {
        socket.KeepUnsentRest = true;
        socket.OnConnect = [&] { ++connects; };
        socket.OnDisconnect = [&] { ++disconnects; };
        socket.OnRead = [&](int32_t n) {
            std::string chunk;
            socket.Read(chunk, n);
            received += chunk;
        };
        socket.Dialer = [&](const std::string& address, int32_t port) -> LocalEnd* {
            if (address != "127.0.0.1" || port != 2001)
                return nullptr;
            LocalStreams::Pair& pair = streams.Open();
            switcher.Accept(pair.Accepting);
            return &pair.Connecting;
        };
    }
    void Rounds(int n) {
        for (int i = 0; i < n; ++i)
            streams.Deliver();
    }
};

TEST_F(LocalLink, ConnectsHearsTheAnnouncementAndHasItsPollAnswered) {
    ASSERT_EQ(StartConnection(socket, "127.0.0.1", 2001), 0);
    EXPECT_FALSE(socket.IsConnected()) << "the connection is announced from a round";
    Rounds(1);
    EXPECT_EQ(connects, 1);
    EXPECT_TRUE(socket.IsWritable());
    Rounds(1);
    EXPECT_EQ(received, frames::SingleByte(frames::Online));
    received.clear();
    socket.Write(frames::SingleByte(frames::Poll), 1);
    Rounds(2);
    EXPECT_EQ(received, frames::SingleByte(frames::Online));
    ASSERT_EQ(switcher.Frames().size(), 1u);
    EXPECT_EQ(switcher.Frames()[0].Bytes, frames::SingleByte(frames::Poll));
}

TEST_F(LocalLink, ADropOnEitherSideEndsTheLinkAsOnTcp) {
    ASSERT_EQ(StartConnection(socket, "127.0.0.1", 2001), 0);
    Rounds(2);
    switcher.DropConnections();
    Rounds(1);
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_THROW(socket.Write("x", 1), Fault);

    ASSERT_EQ(StartConnection(socket, "127.0.0.1", 2001), 0);
    Rounds(2);
    EXPECT_EQ(switcher.ClientCount(), 1u);
    socket.Release();
    Rounds(1);
    EXPECT_EQ(switcher.ClientCount(), 0u) << "the simulator sees the engine's end close";
    EXPECT_EQ(disconnects, 1) << "a release raises no event";
}

TEST_F(LocalLink, ARefusedDialEndsTheAttemptQuietly) {
    EXPECT_EQ(StartConnection(socket, "127.0.0.2", 2001), 0);
    Rounds(3);
    EXPECT_EQ(connects + disconnects, 0);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.IsConnecting());
    EXPECT_EQ(switcher.ClientCount(), 0u);
}

}  // namespace
}  // namespace qtx::test
