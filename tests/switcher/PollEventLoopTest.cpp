// The poll loop: wall-clock phase of the tick, re-entrant pumping, and watches removed from
// inside their own callbacks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "common/PollEventLoop.h"

namespace qtx {
namespace {

int64_t WallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST(PollEventLoop, TheTickFallsJustAfterEachHalfSecond) {
    PollEventLoop loop;
    std::vector<int64_t> at;
    loop.AddTimer(500, 5, [&] { at.push_back(WallMs()); });
    loop.RunUntil([&] { return at.size() >= 4; }, 3000);
    ASSERT_EQ(at.size(), 4u);
    for (int64_t t : at) {
        const int64_t phase = t % 500;
        EXPECT_GE(phase, 5);
        EXPECT_LE(phase, 40) << "fired at ." << t % 1000;
    }
}

TEST(PollEventLoop, APumpInsideATimerDoesNotRunThatTimerAgain) {
    PollEventLoop loop;
    int runs = 0, inner = 0;
    loop.AddTimer(20, -1, [&] {
        ++runs;
        for (int i = 0; i < 5; ++i)
            loop.Pump();
    });
    loop.AddTimer(20, -1, [&] { ++inner; });
    loop.RunFor(110);
    EXPECT_GE(runs, 3);
    EXPECT_LE(runs, 6);
    EXPECT_GE(inner, 3);
}

TEST(PollEventLoop, WatchesMayDeleteThemselvesAndStopEndsRun) {
    PollEventLoop loop;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    int calls = 0;
    EventLoop::WatchId id = -1;
    id = loop.AddWatch(fds[0], EventLoop::Readable, [&](unsigned ready) {
        EXPECT_TRUE(ready & EventLoop::Readable);
        ++calls;
        loop.DeleteWatch(id);
    });
    loop.AddTimer(30, -1, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(calls, 1);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace qtx
