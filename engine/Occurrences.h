#pragma once
// Weekly occurrences on the local wall clock. A moment is a day number (days since 1970-01-01)
// times 86400 plus the second of the day: the same arithmetic whatever the clock does, so an
// hour that the clock repeats or skips changes nothing in it.
#include <cstdint>

#include "common/Variables.h"

namespace qtx {

inline constexpr int64_t kSecondsPerDay = 86400;
inline constexpr int64_t kSecondsPerWeek = 7 * kSecondsPerDay;
// How late an occurrence may still run. A record whose moment passed while the engine was
// busy, or that the clock jumped over, runs once at the next tick; one more than a day late
// (the clock was set far forward, or the machine slept) is passed over and reported instead of
// a day's worth of switching arriving at once.
inline constexpr int64_t kLatestRun = kSecondsPerDay;

inline int64_t MomentOf(int64_t dayNumber, int64_t secondOfDay) {
    return dayNumber * kSecondsPerDay + secondOfDay;
}

// Day number of the Monday of the week holding dayNumber (1970-01-01 was a Thursday).
inline int64_t WeekStart(int64_t dayNumber) {
    const int64_t mondayIndex = ((dayNumber + 3) % 7 + 7) % 7;
    return dayNumber - mondayIndex;
}

// A record recurs weekly when it has a readable time and a weekday (Day 0 to 6).
inline bool HasWeeklyOccurrence(const AutomationEvent& r) {
    return r.Seconds >= 0 && r.Day >= 0 && r.Day <= 6;
}

// The record's moment in the week starting on the Monday weekStart.
inline int64_t OccurrenceInWeek(const AutomationEvent& r, int64_t weekStart) {
    return MomentOf(weekStart + r.Day, r.Seconds);
}

}  // namespace qtx
