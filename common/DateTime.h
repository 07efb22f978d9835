#pragma once
// Local calendar date and time of day, and the few calendar sums the engine needs.
#include <cstdint>
#include <string>

namespace qtx {

// A time of day in whole seconds since midnight, 0 .. 86399.
using TimeOfDay = int32_t;

// What a "24:00:00" record holds: later than every real second, so it is never due.
inline constexpr TimeOfDay NoTimeOfDay = 86400;

struct LocalDateTime {
    int Year = 2000;
    int Month = 1;  // 1 .. 12
    int Day = 1;    // 1 .. 31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;

    TimeOfDay SecondsOfDay() const { return Hour * 3600 + Minute * 60 + Second; }
    // 0 Sunday .. 6 Saturday.
    int DayOfWeek() const;
    // 0 Monday .. 6 Sunday: the coding of the event field Day.
    int16_t MondayIndex() const { return static_cast<int16_t>((DayOfWeek() + 6) % 7); }
    bool operator==(const LocalDateTime&) const = default;
};

// Days since 1970-01-01 of a civil date, and back.
int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(int64_t days, int& year, int& month, int& day);

// Milliseconds since 1970-01-01 00:00 of a local date and time (no time zone: a plain count).
int64_t ToEpochMs(const LocalDateTime& t);
LocalDateTime FromEpochMs(int64_t ms);

}  // namespace qtx
