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

// The same two readings for a clock that reads instants close to each other over and over (the
// preview's): the zone's offset is remembered with the range of seconds over which it holds and
// asked of the zone again only outside it. The range is found by reading the zone a quarter of
// an hour on (and, when the offset differs there, by halving to the change), so a change of
// offset is met to the second, as long as the offset does not change and change back within a
// quarter of an hour. The host's zone is read once per range: a clock running for months
// (the engine's) reads it every time instead, so that a changed zone takes effect.
class ZoneOffsets {
  public:
    LocalDateTime LocalTimeAt(int64_t utcMs);
    int64_t FirstSecondReaching(int64_t fromUtcSecond, int64_t localSecond);

  private:
    // The local reading minus the instant, in seconds, at a second.
    int64_t OffsetAt(int64_t utcSecond);
    int64_t from_ = 1, to_ = 0;  // the offset holds at every second of [from_, to_]
    int64_t offset_ = 0;
};

}  // namespace qtx
