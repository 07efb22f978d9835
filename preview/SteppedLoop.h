#pragma once
// The event loop the preview runs the engine on: descriptor watches are real (the engine's links
// and the switcher simulator share a PollEventLoop), timers never fire by themselves: the owner
// ticks the engine at the moments it chooses. With in-process streams (the preview's engine and
// its simulator), each pump also runs one round of their deliveries.
#include <utility>

#include "common/PollEventLoop.h"
#include "switcher/LocalStream.h"

namespace qtx::schedule {

class SteppedLoop : public EventLoop {
  public:
    explicit SteppedLoop(PollEventLoop& real, LocalStreams* streams = nullptr)
        : real_(real), streams_(streams) {}
    TimerId AddTimer(int, int, TimerCallback) override { return ++timers_; }
    void DeleteTimer(TimerId) override {}
    WatchId AddWatch(int fd, unsigned mask, WatchCallback cb) override {
        return real_.AddWatch(fd, mask, std::move(cb));
    }
    void UpdateWatch(WatchId id, unsigned mask) override { real_.UpdateWatch(id, mask); }
    void DeleteWatch(WatchId id) override { real_.DeleteWatch(id); }
    void Pump() override {
        real_.Pump();
        if (streams_ != nullptr)
            streams_->Deliver();
    }

  private:
    PollEventLoop& real_;
    LocalStreams* streams_;
    TimerId timers_ = 0;
};

}  // namespace qtx::schedule
