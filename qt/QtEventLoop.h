#pragma once
// The event loop seam on Qt's own loop: timers are QTimers re-armed against the wall clock,
// descriptor watches are QSocketNotifiers, and Pump() lets through everything but user input.
// The engine then runs on the window's thread with no thread of its own.
#include <QObject>
#include <cstdint>
#include <map>
#include <memory>

#include "common/EventLoop.h"

class QTimer;
class QSocketNotifier;

namespace qtx {

class QtEventLoop : public QObject, public EventLoop {
    Q_OBJECT
  public:
    QtEventLoop();
    ~QtEventLoop() override;

    TimerId AddTimer(int periodMs, int phaseMs, TimerCallback cb) override;
    void DeleteTimer(TimerId id) override;
    WatchId AddWatch(int fd, unsigned mask, WatchCallback cb) override;
    void UpdateWatch(WatchId id, unsigned mask) override;
    void DeleteWatch(WatchId id) override;
    void Pump() override;

    // Milliseconds from wall-clock instant nowMs (since the epoch) to the next firing of a timer
    // with this period and phase; always at least 1 so a late firing never repeats at once.
    static int64_t DelayToNextFiring(int64_t nowMs, int periodMs, int phaseMs);

    std::size_t TimerCount() const { return timers_.size(); }
    std::size_t WatchCount() const { return watches_.size(); }

  private:
    struct Timer;
    struct Watch;
    void Arm(Timer& t);
    void Fire(TimerId id);
    void Ready(WatchId id, unsigned ready);

    std::map<TimerId, std::unique_ptr<Timer>> timers_;
    std::map<WatchId, std::unique_ptr<Watch>> watches_;
    int64_t nextId_ = 1;
};

}  // namespace qtx
