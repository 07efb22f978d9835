#pragma once
// The host's time zone: what the wall clock reads at an instant, and the first instant at which
// it reaches a given reading. The engine's clock reads the real instant through this; the
// preview's clock reads its simulated instants through the same rule, so both changes of summer
// time look the same to the engine in either.
#include <cstdint>

#include "common/DateTime.h"

namespace qtx {

// The local date and time at an instant (milliseconds since 1970-01-01 00:00 UTC). A leap second
// reads as :59.
LocalDateTime LocalTimeAt(int64_t utcMs);

// The earliest whole second at or after fromUtcSecond (seconds since 1970-01-01 00:00 UTC) whose
// local reading, as a plain count of seconds (see ToEpochMs), is at or after localSecond. A
// reading the clock skips (the hour lost in spring) is reached at the jump; a reading it shows
// twice (the hour repeated in autumn) on its first showing from fromUtcSecond on.
int64_t FirstSecondReaching(int64_t fromUtcSecond, int64_t localSecond);

}  // namespace qtx
