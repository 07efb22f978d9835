#include "common/LocalTime.h"

#include <time.h>

namespace qtx {

namespace {

tm LocalFields(int64_t utcSecond) {
    const time_t t = static_cast<time_t>(utcSecond);
    tm local{};
    localtime_r(&t, &local);
    return local;
}

// The local reading at a second, as a plain count of seconds.
int64_t LocalSecondAt(int64_t utcSecond) {
    const tm l = LocalFields(utcSecond);
    const int second = l.tm_sec > 59 ? 59 : l.tm_sec;
    return DaysFromCivil(l.tm_year + 1900, l.tm_mon + 1, l.tm_mday) * 86400 +
           int64_t{l.tm_hour} * 3600 + int64_t{l.tm_min} * 60 + second;
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

LocalDateTime LocalTimeAt(int64_t utcMs) {
    const int64_t second = FloorDiv(utcMs, 1000);
    const tm l = LocalFields(second);
    LocalDateTime t;
    t.Year = l.tm_year + 1900;
    t.Month = l.tm_mon + 1;
    t.Day = l.tm_mday;
    t.Hour = l.tm_hour;
    t.Minute = l.tm_min;
    t.Second = l.tm_sec > 59 ? 59 : l.tm_sec;
    t.Millisecond = static_cast<int>(utcMs - second * 1000);
    return t;
}

namespace {

// The earliest second at or after u whose reading (u plus offsetAt(u)) is at or after
// localSecond. The reading runs at the rate of the instant between changes of the zone's
// offset, so the offset at hand says where the reading would be reached; when the offset there
// differs, the change in between is found by halving and the search goes on from it. Offsets
// change months apart, so a few rounds suffice; the bound only guards against a broken zone file.
template <class OffsetAt>
int64_t FirstReaching(int64_t u, int64_t localSecond, OffsetAt offsetAt) {
    for (int round = 0; round < 16; ++round) {
        const int64_t offset = offsetAt(u);
        if (u + offset >= localSecond)
            return u;
        const int64_t candidate = localSecond - offset;
        if (offsetAt(candidate) == offset)
            return candidate;
        int64_t same = u, changed = candidate;  // the offset changes in (same, changed]
        while (changed - same > 1) {
            const int64_t mid = same + (changed - same) / 2;
            (offsetAt(mid) == offset ? same : changed) = mid;
        }
        u = changed;
    }
    return u;
}

int64_t ZoneOffsetAt(int64_t utcSecond) {
    return LocalSecondAt(utcSecond) - utcSecond;
}

// How far on the zone is read to find where an offset still holds.
constexpr int64_t kOffsetSpan = 15 * 60;

}  // namespace

int64_t FirstSecondReaching(int64_t fromUtcSecond, int64_t localSecond) {
    return FirstReaching(fromUtcSecond, localSecond, ZoneOffsetAt);
}

int64_t ZoneOffsets::OffsetAt(int64_t utcSecond) {
    if (utcSecond >= from_ && utcSecond <= to_)
        return offset_;
    const int64_t offset = ZoneOffsetAt(utcSecond);
    int64_t last = utcSecond + kOffsetSpan;
    if (ZoneOffsetAt(last) != offset) {
        int64_t same = utcSecond, changed = last;  // the offset changes in (same, changed]
        while (changed - same > 1) {
            const int64_t mid = same + (changed - same) / 2;
            (ZoneOffsetAt(mid) == offset ? same : changed) = mid;
        }
        last = same;
    }
    from_ = utcSecond;
    to_ = last;
    offset_ = offset;
    return offset;
}

LocalDateTime ZoneOffsets::LocalTimeAt(int64_t utcMs) {
    const int64_t second = FloorDiv(utcMs, 1000);
    LocalDateTime t = FromEpochMs((second + OffsetAt(second)) * 1000);
    t.Millisecond = static_cast<int>(utcMs - second * 1000);
    return t;
}

int64_t ZoneOffsets::FirstSecondReaching(int64_t fromUtcSecond, int64_t localSecond) {
    return FirstReaching(fromUtcSecond, localSecond, [this](int64_t u) { return OffsetAt(u); });
}

}  // namespace qtx
