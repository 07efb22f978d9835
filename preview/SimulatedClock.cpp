#include "preview/SimulatedClock.h"

#include <algorithm>

#include "common/LocalTime.h"

namespace qtx::schedule {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// No zone is more than 14 hours ahead of or 12 behind UTC: 15 hours before the reading as UTC
// its clock shows something earlier.
constexpr int64_t kBeforeAnyZone = 15 * 3600;

}  // namespace

int64_t SimulatedClock::InstantReaching(const LocalDateTime& local) {
    const int64_t localMs = ToEpochMs(local);
    const int64_t localSecond = FloorDiv(localMs, 1000);
    const int64_t second = FirstSecondReaching(localSecond - kBeforeAnyZone, localSecond);
    return second * 1000 + (localMs - localSecond * 1000);
}

void SimulatedClock::MoveToReading(int64_t localSecond, int phaseMs) {
    const int64_t second = zone_.FirstSecondReaching(FloorDiv(instantMs_, 1000), localSecond);
    const int64_t target = second * 1000 + phaseMs;
    if (target > instantMs_)
        Advance(target - instantMs_);
}

LocalDateTime SimulatedClock::Now() {
    const int64_t second = FloorDiv(instantMs_, 1000);
    if (second != cachedSecond_) {
        cached_ = zone_.LocalTimeAt(second * 1000);
        cachedSecond_ = second;
    }
    LocalDateTime t = cached_;
    t.Millisecond = static_cast<int>(instantMs_ - second * 1000);
    return t;
}

void SimulatedClock::WaitWhileSecondIs(TimeOfDay t) {
    if (Now().SecondsOfDay() != t)
        return;
    Advance(1000 - (instantMs_ - FloorDiv(instantMs_, 1000) * 1000));
}

}  // namespace qtx::schedule
