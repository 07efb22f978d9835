#pragma once
// The clock the preview runs the engine on: an instant that only the preview (and the engine's
// own short waits) moves on, read in the host's time zone by the rule the system clock uses, so
// the engine meets the changes of summer time in the preview as it does in service.
#include <cstdint>

#include "common/Clock.h"
#include "common/LocalTime.h"

namespace qtx::schedule {

class SimulatedClock : public Clock {
  public:
    // utcMs: the first instant, milliseconds since 1970-01-01 00:00 UTC.
    explicit SimulatedClock(int64_t utcMs) : instantMs_(utcMs) {}
    // The first instant at or after any other whose local reading is at or after `local`.
    static int64_t InstantReaching(const LocalDateTime& local);

    int64_t InstantMs() const { return instantMs_; }
    // Sets the instant; the tick counter moves with it, as a real one would.
    void SetInstantMs(int64_t utcMs) { Advance(utcMs - instantMs_); }
    void Advance(int64_t ms) {
        instantMs_ += ms;
        tick_ += static_cast<uint32_t>(ms);
    }
    // Moves on to phaseMs into the first second, at or after the current one, whose reading is
    // at or after localSecond (a plain count, as ToEpochMs gives it divided by 1000); never
    // moves back.
    void MoveToReading(int64_t localSecond, int phaseMs);

    LocalDateTime Now() override;
    uint32_t TickCount() override { return tick_; }
    void SleepMs(int ms) override { Advance(ms > 0 ? ms : 0); }
    void WaitWhileSecondIs(TimeOfDay t) override;

  private:
    int64_t instantMs_;
    uint32_t tick_ = 0;
    // The host zone's offset over the range of instants the clock is passing through.
    ZoneOffsets zone_;
    // The reading of the last second asked for: the engine reads the clock many times a tick.
    int64_t cachedSecond_ = INT64_MIN;
    LocalDateTime cached_;
};

}  // namespace qtx::schedule
