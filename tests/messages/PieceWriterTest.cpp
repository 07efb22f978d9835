// How an IP message's text is cut into writes, against a socket double that decides how much
// each write takes, and how long a receiver that takes nothing is waited for.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "messages/PieceWriter.h"

namespace qtx {
namespace {

struct ScriptedSocket {
    bool writable = true;
    bool connected = true;
    // How many of the `length` characters offered a write takes (all by default).
    std::function<int32_t(int32_t length)> take = [](int32_t length) { return length; };
    std::vector<int32_t> lengths;  // the length of each write, in order
    std::string received;          // what the writes took, in order
    int32_t sent = 0;

    bool IsWritable() const { return writable; }
    bool IsConnected() const { return connected; }
    int32_t Write(const std::string& buffer, int32_t length) {
        lengths.push_back(length);
        sent = take(length);
        received += buffer.substr(0, static_cast<size_t>(sent));
        return sent;
    }
    int32_t BytesSent() const { return sent; }
};

class CountingLoop : public EventLoop {
  public:
    TimerId AddTimer(int, int, TimerCallback) override { return 1; }
    void DeleteTimer(TimerId) override {}
    WatchId AddWatch(int, unsigned, WatchCallback) override { return 1; }
    void UpdateWatch(WatchId, unsigned) override {}
    void DeleteWatch(WatchId) override {}
    void Pump() override {
        ++pumps;
        if (onPump)
            onPump();
    }
    int pumps = 0;
    std::function<void()> onPump;
};

std::string Text(size_t n) {
    std::string t;
    for (size_t i = 0; i < n; ++i)
        t += static_cast<char>('a' + i % 26);
    return t;
}

class PieceWriting : public ::testing::Test {
  protected:
    PieceOutcome Write(const std::string& text) {
        return WriteInPieces(socket_, text, clock_, loop_);
    }
    ScriptedSocket socket_;
    FakeClock clock_;
    CountingLoop loop_;
};

TEST_F(PieceWriting, AReceiverTakingEverythingGetsFullPiecesThenTheRest) {
    const std::string text = Text(40000);
    EXPECT_EQ(Write(text), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384, 16384, 7232}));
    EXPECT_EQ(socket_.received, text);

    socket_ = {};
    EXPECT_EQ(Write(Text(16384)), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384}));
    socket_ = {};
    EXPECT_EQ(Write(Text(16385)), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384, 1}));
}

TEST_F(PieceWriting, PartialWritesContinueWhereTheSocketStopped) {
    const std::string text = Text(40000);
    socket_.take = [](int32_t length) { return std::min(length, 7000); };
    EXPECT_EQ(Write(text), PieceOutcome::Written);
    EXPECT_EQ(socket_.received, text);
    // While more than a piece is left every write offers a full piece; then all that is left.
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{16384, 16384, 16384, 16384, 12000, 5000}));
}

TEST_F(PieceWriting, AnEmptyTextIsOneEmptyWrite) {
    EXPECT_EQ(Write(""), PieceOutcome::Written);
    EXPECT_EQ(socket_.lengths, (std::vector<int32_t>{0}));
    EXPECT_EQ(clock_.TickCount(), 0u);  // and no waiting for a take that cannot come
}

TEST_F(PieceWriting, NoConnectionMeansNoWrites) {
    socket_.writable = false;
    socket_.connected = false;
    // More than one piece: the send stops at once (the caller then logs nothing).
    EXPECT_EQ(Write(Text(20000)), PieceOutcome::StoppedUnwritable);
    // One piece or less: the writing ends and the caller goes on to close and log.
    EXPECT_EQ(Write(Text(100)), PieceOutcome::Written);
    EXPECT_TRUE(socket_.lengths.empty());
    EXPECT_EQ(clock_.TickCount(), 0u);
}

TEST_F(PieceWriting, AReceiverThatTakesNothingIsGivenUpOnAfterTheLimit) {
    socket_.take = [](int32_t) { return 0; };
    clock_.SetTickCount(0xFFFFFF00u);  // the limit holds across a wrap of the counter
    try {
        Write(Text(20000));
        FAIL() << "a receiver taking nothing was waited for without end";
    } catch (const Fault& f) {
        EXPECT_EQ(f.Number, faults::SocketTimedOut);
    }
    EXPECT_EQ(clock_.TickCount() - 0xFFFFFF00u, IpStallLimitMs);
    EXPECT_GE(loop_.pumps, static_cast<int>(IpStallLimitMs) - 1);  // the links were served
}

TEST_F(PieceWriting, AFullBufferIsWaitedForAndProgressRestartsTheLimit) {
    const std::string text = Text(40000);
    // The buffer is full for 1500 ms at a time; between those spells a write takes 10000.
    int waited = 0;
    loop_.onPump = [&] {
        if (++waited % 1500 == 0)
            socket_.writable = true;
    };
    socket_.writable = false;
    socket_.take = [&](int32_t length) {
        socket_.writable = false;
        return std::min(length, 10000);
    };
    EXPECT_EQ(Write(text), PieceOutcome::Written);
    EXPECT_EQ(socket_.received, text);
    EXPECT_GT(clock_.TickCount(), IpStallLimitMs);  // longer in all than the limit, no fault
}

}  // namespace
}  // namespace qtx
