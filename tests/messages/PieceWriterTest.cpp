// How an IP message's text is cut into writes, against a socket double that decides how much
// each write takes, and how long a connected receiver that takes nothing is waited for.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/PollEventLoop.h"
#include "messages/PieceWriter.h"

namespace qtx {
namespace {

struct ScriptedSocket {
    bool connected = true;
    std::function<bool()> writable = [] { return true; };
    std::function<int32_t(int32_t)> take = [](int32_t length) { return length; };
    std::vector<int32_t> lengths;  // of each write, in order
    std::string received;
    int32_t sent = 0;

    bool IsWritable() const { return connected && writable(); }
    bool IsConnected() const { return connected; }
    int32_t Write(const std::string& buffer, int32_t length) {
        lengths.push_back(length);
        received += buffer.substr(0, static_cast<size_t>(sent = take(length)));
        return sent;
    }
    int32_t BytesSent() const { return sent; }
};

class PieceWriting : public ::testing::Test {
  protected:
    PieceOutcome Write(const std::string& text) {
        return WriteInPieces(socket_, text, clock_, loop_);
    }
    std::string Text(size_t n) {
        std::string t;
        for (size_t i = 0; i < n; ++i)
            t += static_cast<char>('a' + i % 26);
        return t;
    }
    ScriptedSocket socket_;
    FakeClock clock_;
    PollEventLoop loop_;
};

TEST_F(PieceWriting, FullPiecesWhileMoreThanOneIsLeftThenTheRest) {
    const std::string text = Text(40000);
    EXPECT_EQ(Write(text), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384, 16384, 7232}));
    EXPECT_EQ(socket_.received, text);

    // Partial writes go on from where the socket stopped.
    socket_ = {};
    socket_.take = [](int32_t length) { return std::min(length, 7000); };
    EXPECT_EQ(Write(text), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384, 16384, 16384, 16384, 12000, 5000}));
    EXPECT_EQ(socket_.received, text);

    socket_ = {};
    EXPECT_EQ(Write(""), PieceOutcome::Written);  // one empty write, no waiting
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{0}));
    EXPECT_EQ(clock_.TickCount(), 0u);
}

TEST_F(PieceWriting, AReceiverTakingNothingIsGivenUpOnAfterTheLimitEvenAcrossAWrap) {
    socket_.take = [](int32_t) { return 0; };
    clock_.SetTickCount(0xFFFFFF00u);
    try {
        Write(Text(20000));
        FAIL() << "no limit";
    } catch (const Fault& f) {
        EXPECT_EQ(f.Number, faults::SocketTimedOut);
    }
    EXPECT_EQ(clock_.TickCount() - 0xFFFFFF00u, IpStallLimitMs);

    // Progress restarts the limit: a buffer that is full for 1500 ms after each write of
    // 10000 characters is waited for, though the whole takes longer than the limit.
    socket_ = {};
    uint32_t freeAt = clock_.TickCount();
    socket_.writable = [&] { return clock_.TickCount() - freeAt < 0x80000000u; };
    socket_.take = [&](int32_t length) {
        freeAt = clock_.TickCount() + 1500;
        return std::min(length, 10000);
    };
    const uint32_t start = clock_.TickCount();
    EXPECT_EQ(Write(Text(40000)), PieceOutcome::Written);
    EXPECT_EQ(socket_.received, Text(40000));
    EXPECT_EQ(clock_.TickCount() - start, 3 * 1500u);
}

}  // namespace
}  // namespace qtx
