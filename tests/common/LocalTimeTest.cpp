// Reading instants in the host's time zone, and finding the first instant a reading is reached,
// across both changes of summer time.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/LocalTime.h"
#include "fixtures/TimeZone.h"

namespace qtx::test {
namespace {

int64_t Utc(int y, int mo, int d, int h, int mi, int s) {
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

// A reading of 2027, "MM-DD hh:mm:ss".
LocalDateTime In2027(const char* text) {
    LocalDateTime t{2027, 0, 0, 0, 0, 0, 0};
    std::sscanf(text, "%d-%d %d:%d:%d", &t.Month, &t.Day, &t.Hour, &t.Minute, &t.Second);
    return t;
}

int64_t Utc(const char* text) {
    const LocalDateTime t = In2027(text);
    return Utc(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}

TEST(LocalTime, FirstSecondReachingAReadingInLondon) {
    TimeZone london("Europe/London");
    // The search's start (UTC), the reading sought, the first second reaching it (UTC).
    const struct {
        const char *what, *from, *local, *expected;
    } cases[] = {
        {"winter, plain", "01-10 00:00:00", "01-10 06:00:00", "01-10 06:00:00"},
        {"summer, an hour ahead", "07-01 00:00:00", "07-01 06:00:00", "07-01 05:00:00"},
        {"the second before the jump", "03-28 00:00:00", "03-28 00:59:59", "03-28 00:59:59"},
        {"skipped in spring: at the jump", "03-28 00:00:00", "03-28 01:30:00", "03-28 01:00:00"},
        {"after the jump", "03-28 00:00:00", "03-28 02:30:00", "03-28 01:30:00"},
        {"repeated in autumn: first showing", "10-30 22:00:00", "10-31 01:30:00", "10-31 00:30:00"},
        {"repeated, searched from within the repeat", "10-31 01:10:00", "10-31 01:30:00",
         "10-31 01:30:00"},
        {"after the repeat", "10-31 00:30:00", "10-31 02:00:00", "10-31 02:00:00"},
        {"already reached", "01-10 07:00:00", "01-10 06:00:00", "01-10 07:00:00"},
    };
    ZoneOffsets shared;  // remembers the ranges of earlier cases, as the preview's clock does
    for (const auto& c : cases) {
        const int64_t local = ToEpochMs(In2027(c.local)) / 1000;
        EXPECT_EQ(FirstSecondReaching(Utc(c.from), local), Utc(c.expected)) << c.what;
        EXPECT_EQ(ZoneOffsets().FirstSecondReaching(Utc(c.from), local), Utc(c.expected)) << c.what;
        EXPECT_EQ(shared.FirstSecondReaching(Utc(c.from), local), Utc(c.expected)) << c.what;
    }
}

// The remembered offset reads every second of both nights as the zone does, walking on in
// steps that land in, on and past the second of each change.
TEST(LocalTime, RememberedOffsetsReadBothNightsToTheSecond) {
    TimeZone london("Europe/London");
    for (const int64_t night : {Utc(2027, 3, 27, 22, 0, 0), Utc(2027, 10, 30, 22, 0, 0)})
        for (const int64_t step : {1, 7, 599, 3599}) {
            ZoneOffsets zone;
            for (int64_t u = night; u < night + 6 * 3600; u += step)
                ASSERT_EQ(zone.LocalTimeAt(u * 1000 + 5), LocalTimeAt(u * 1000 + 5))
                    << "second " << u << ", step " << step;
        }
}

TEST(LocalTime, ReadsInstantsAcrossTheChanges) {
    TimeZone london("Europe/London");
    EXPECT_EQ(LocalTimeAt(Utc(2027, 3, 28, 0, 59, 59) * 1000 + 999),
              (LocalDateTime{2027, 3, 28, 0, 59, 59, 999}));
    EXPECT_EQ(LocalTimeAt(Utc(2027, 3, 28, 1, 0, 0) * 1000 + 5),
              (LocalDateTime{2027, 3, 28, 2, 0, 0, 5}));
    EXPECT_EQ(LocalTimeAt(Utc(2027, 10, 31, 0, 59, 59) * 1000),
              (LocalDateTime{2027, 10, 31, 1, 59, 59, 0}));
    EXPECT_EQ(LocalTimeAt(Utc(2027, 10, 31, 1, 0, 0) * 1000),
              (LocalDateTime{2027, 10, 31, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace qtx::test
