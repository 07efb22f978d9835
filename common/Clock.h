#pragma once
// The clock seam: local date and time, the millisecond tick counter, and blocking waits.
#include <atomic>
#include <cstdint>

#include "common/DateTime.h"

namespace qtx {

class Clock {
  public:
    virtual ~Clock() = default;
    // The local date and time now.
    virtual LocalDateTime Now() = 0;
    // Milliseconds since some start; wraps at 2^32.
    virtual uint32_t TickCount() = 0;
    // Blocks the thread for about ms milliseconds (used between readings in short waits).
    virtual void SleepMs(int ms) = 0;
    // Blocks, without yielding, while the time of day in whole seconds still equals t.
    virtual void WaitWhileSecondIs(TimeOfDay t) = 0;
};

// The host's clock.
class SystemClock : public Clock {
  public:
    LocalDateTime Now() override;
    uint32_t TickCount() override;
    void SleepMs(int ms) override;
    void WaitWhileSecondIs(TimeOfDay t) override;
};

// A settable clock for tests: it stands still until set or advanced; waits advance it.
class FakeClock : public Clock {
  public:
    explicit FakeClock(LocalDateTime start = {}) : nowMs_(ToEpochMs(start)) {}
    void Set(const LocalDateTime& t) { nowMs_ = ToEpochMs(t); }
    void Advance(int64_t ms) {
        nowMs_ += ms;
        tick_ += static_cast<uint32_t>(ms);
    }
    void SetTickCount(uint32_t t) { tick_ = t; }
    // When on, SleepMs also sleeps for real (for tests that wait on real sockets).
    void SetRealSleep(bool on) { realSleep_ = on; }
    int64_t WaitCount() const { return waits_; }

    LocalDateTime Now() override { return FromEpochMs(nowMs_); }
    uint32_t TickCount() override { return tick_; }
    void SleepMs(int ms) override;
    void WaitWhileSecondIs(TimeOfDay t) override;

  private:
    // Atomic, so a test may move the time while a worker thread (alarm delivery) reads it.
    std::atomic<int64_t> nowMs_;
    std::atomic<uint32_t> tick_ = 0;
    bool realSleep_ = false;
    int64_t waits_ = 0;
};

}  // namespace qtx
