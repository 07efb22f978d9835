// Every record runs once per weekly occurrence, whatever the table holds and whatever the wall
// clock does: the real engine against the switcher simulator, with the clock double moved the
// way a table or an operator moves it (the changes of summer time are the preview's comparison
// with the engine). Each event takes its own number as the source to output 1, so the frames at
// the simulator tell which events ran, and how often.
#include <map>

#include "fixtures/SimEngine.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

EventRow Take(int number, int day, const std::string& time, const std::string& title,
              int active = 1) {
    return With(Event(number, day, time, title),
                {{"Active", active}, {"xcontrol", 1}, {"SourceChan", number}, {"DestChan", 1}});
}

class OnceEveryOccurrenceTest : public SimEngineTest {
  protected:
    OnceEveryOccurrenceTest() : SimEngineTest({2026, 12, 7, 8, 59, 0, 5}) {}
    // How many takes of each source (event number) reached the switcher.
    std::map<int, int> TakesBySource() {
        h.realLoop.RunFor(50);
        std::map<int, int> out;
        for (const std::string& f : sim_.FramesWithCode(0xFE))
            ++out[static_cast<uint8_t>(f[3]) + 128 * static_cast<uint8_t>(f[4]) + 1];
        return out;
    }
};

TEST_F(OnceEveryOccurrenceTest, RecordsWithoutTimeOrWeekdayHoldUpNothing) {
    // A row with only its number (no day, no time) sorts first; so does a Day of -1; a Day of 8
    // sorts last.
    StartWith({EventRow{{"Number", 9LL}}, With(EventRow{{"Number", 8LL}}, {{"Day", -1}}),
               Take(1, 0, "09:00:01", "a"), Take(2, 0, "09:00:01", "b"),
               Take(3, 0, "09:00:02", "c"), Take(4, 8, "09:00:03", "day eight")});
    for (int s = 0; s <= 4; ++s)
        Second(9, 0, s);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(h.view.HistoryRows.size(), 3u);
    h.SetDate(2026, 12, 14);  // next Monday
    Second(9, 0, 1);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 2}, {2, 2}, {3, 1}}));
}

TEST_F(OnceEveryOccurrenceTest, ATableOfOneSecondRunsOnceAndAgainNextWeek) {
    StartWith({Take(1, 0, "09:00:01", "a"), Take(2, 0, "09:00:01", "b")});
    Second(9, 0, 1);
    Second(9, 0, 2);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}}));
    h.SetDate(2026, 12, 14);  // next Monday
    Second(9, 0, 0);
    Second(9, 0, 1);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 2}, {2, 2}}));
}

TEST_F(OnceEveryOccurrenceTest, ClockStepsBackRepeatNothingAndStepsForwardLoseNothing) {
    StartWith({Take(1, 0, "09:00:05", "a"), Take(2, 0, "09:00:10", "b"),
               Take(3, 0, "09:01:00", "c"), Take(4, 1, "09:00:00", "tue")});
    Second(9, 0, 5);
    Second(9, 0, 10);
    Second(9, 0, 2);  // stepped back 8 s (an operator, NTP)
    for (int s = 3; s <= 12; ++s)
        Second(9, 0, s);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}}));
    Second(9, 5, 0);  // stepped forward past c: c runs once, late, at the jump
    Second(9, 5, 1);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(OnceEveryOccurrenceTest, OneTimeEventFirstInTheTableHoldsUpNothingBehindIt) {
    std::vector<EventRow> rows{Take(1, 0, "09:00:01", "once", 3), Take(2, 0, "09:00:01", "same")};
    for (int n = 3; n <= 22; ++n)
        rows.push_back(Take(n, 0,
                            "09:00:" + std::string(n - 1 < 10 ? "0" : "") + std::to_string(n - 1),
                            "later " + std::to_string(n)));
    rows.push_back(Take(23, 1, "09:00:00", "tue"));
    StartWith(rows);
    h.TickAt(9, 0, 1, 1);
    h.realLoop.RunFor(30);
    // The one-time event and the one after it run in the same tick, in table order.
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}}));
    for (int s = 1; s <= 22; ++s)
        Second(9, 0, s);
    std::map<int, int> once;
    for (int n = 1; n <= 22; ++n)
        once[n] = 1;
    EXPECT_EQ(TakesBySource(), once);
    EXPECT_EQ(h.vars().EventCount, 22);
}

TEST_F(OnceEveryOccurrenceTest, EventsLeftOverAtMidnightRunAndTheNextDayFollows) {
    StartWith({Take(1, 0, "23:59:59", "late monday"), Take(2, 1, "00:00:01", "tuesday")});
    Second(23, 59, 58);
    h.SetDate(2026, 12, 8);  // the engine was busy through Monday's last second
    Second(0, 0, 0);
    Second(0, 0, 1);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{1, 1}, {2, 1}}));
}

TEST_F(OnceEveryOccurrenceTest, AClockSetDaysAheadPassesTheGapOverAndSaysSo) {
    StartWith({Take(1, 0, "09:00:05", "monday"), Take(2, 2, "09:00:00", "wednesday"),
               Take(3, 3, "09:00:00", "thursday")});
    h.SetDate(2026, 12, 10);  // Thursday
    Second(8, 0, 0);
    EXPECT_THAT(TakesBySource(), IsEmpty());
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Determining Next Event"));
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{"Thursday", "09:00:00", "thursday"}));
    Second(9, 0, 0);
    EXPECT_EQ(TakesBySource(), (std::map<int, int>{{3, 1}}));
}

}  // namespace
}  // namespace qtx::test
