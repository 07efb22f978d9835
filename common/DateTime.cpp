#include "common/DateTime.h"

namespace qtx {

// Howard Hinnant's days-from-civil algorithm (proleptic Gregorian calendar).
int64_t DaysFromCivil(int year, int month, int day) {
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = (month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int LocalDateTime::DayOfWeek() const {
    const int64_t days = DaysFromCivil(Year, Month, Day);
    // 1970-01-01 was a Thursday (4).
    return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

int64_t ToEpochMs(const LocalDateTime& t) {
    return DaysFromCivil(t.Year, t.Month, t.Day) * 86400000LL +
           (static_cast<int64_t>(t.SecondsOfDay()) * 1000) + t.Millisecond;
}

LocalDateTime FromEpochMs(int64_t ms) {
    int64_t days = ms >= 0 ? ms / 86400000LL : -((-ms + 86400000LL - 1) / 86400000LL);
    int64_t rest = ms - days * 86400000LL;
    LocalDateTime t;
    CivilFromDays(days, t.Year, t.Month, t.Day);
    t.Hour = static_cast<int>(rest / 3600000);
    t.Minute = static_cast<int>(rest / 60000 % 60);
    t.Second = static_cast<int>(rest / 1000 % 60);
    t.Millisecond = static_cast<int>(rest % 1000);
    return t;
}

}  // namespace qtx
