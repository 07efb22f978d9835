// Reading instants in the host's time zone, and finding the first instant a reading is reached,
// across both changes of summer time.
#include <gtest/gtest.h>

#include "common/LocalTime.h"
#include "fixtures/TimeZone.h"

namespace qtx::test {
namespace {

int64_t Utc(int y, int mo, int d, int h, int mi, int s) {
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

struct Reach {
    const char* what;
    int64_t from;         // UTC second the search starts at
    LocalDateTime local;  // the reading sought
    int64_t expected;     // UTC second
};

TEST(LocalTime, FirstSecondReachingAReadingInLondon) {
    TimeZone london("Europe/London");
    const Reach cases[] = {
        {"winter, plain",
         Utc(2027, 1, 10, 0, 0, 0),
         {2027, 1, 10, 6, 0, 0, 0},
         Utc(2027, 1, 10, 6, 0, 0)},
        {"summer, an hour ahead",
         Utc(2027, 7, 1, 0, 0, 0),
         {2027, 7, 1, 6, 0, 0, 0},
         Utc(2027, 7, 1, 5, 0, 0)},
        {"the second before the jump",
         Utc(2027, 3, 28, 0, 0, 0),
         {2027, 3, 28, 0, 59, 59, 0},
         Utc(2027, 3, 28, 0, 59, 59)},
        {"skipped in spring: at the jump",
         Utc(2027, 3, 28, 0, 0, 0),
         {2027, 3, 28, 1, 30, 0, 0},
         Utc(2027, 3, 28, 1, 0, 0)},
        {"after the jump",
         Utc(2027, 3, 28, 0, 0, 0),
         {2027, 3, 28, 2, 30, 0, 0},
         Utc(2027, 3, 28, 1, 30, 0)},
        {"repeated in autumn: first showing",
         Utc(2027, 10, 30, 22, 0, 0),
         {2027, 10, 31, 1, 30, 0, 0},
         Utc(2027, 10, 31, 0, 30, 0)},
        {"repeated, searched from within the repeat",
         Utc(2027, 10, 31, 1, 10, 0),
         {2027, 10, 31, 1, 30, 0, 0},
         Utc(2027, 10, 31, 1, 30, 0)},
        {"after the repeat",
         Utc(2027, 10, 31, 0, 30, 0),
         {2027, 10, 31, 2, 0, 0, 0},
         Utc(2027, 10, 31, 2, 0, 0)},
        {"already reached",
         Utc(2027, 1, 10, 7, 0, 0),
         {2027, 1, 10, 6, 0, 0, 0},
         Utc(2027, 1, 10, 7, 0, 0)},
    };
    ZoneOffsets shared;  // remembers the ranges of earlier cases, as the preview's clock does
    for (const Reach& c : cases) {
        const int64_t local = ToEpochMs(c.local) / 1000;
        EXPECT_EQ(FirstSecondReaching(c.from, local), c.expected) << c.what;
        EXPECT_EQ(ZoneOffsets().FirstSecondReaching(c.from, local), c.expected) << c.what;
        EXPECT_EQ(shared.FirstSecondReaching(c.from, local), c.expected) << c.what;
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
