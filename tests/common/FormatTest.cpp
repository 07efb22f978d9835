#include <gtest/gtest.h>

#include "common/Checked.h"
#include "common/Clock.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Format.h"
#include "common/Text.h"

namespace qtx {
namespace {

LocalDateTime Dt(int y, int mo, int d, int h, int mi, int s) {
    return {y, mo, d, h, mi, s, 0};
}

int FaultNumberOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Fault& f) {
        return f.Number;
    }
    return 0;
}

TEST(DateFormats, EveryPatternWithEnglishNames) {
    const LocalDateTime t = Dt(2026, 12, 5, 14, 3, 9);  // a Saturday
    EXPECT_EQ(FormatHhMmSs(t), "14:03:09");
    EXPECT_EQ(FormatHhMmSsAmPm(t), "02:03:09 PM");
    EXPECT_EQ(FormatLongDate(t), "Saturday, Dec 5 2026");
    // The log stamps are the log tests' (FormatLogStamp, FormatGeneralDate).
}

TEST(DateFormats, NoonMidnightAndDateAlone) {
    EXPECT_EQ(FormatGeneralDate(Dt(2026, 12, 5, 0, 0, 0)), "12/5/2026");
    EXPECT_EQ(FormatGeneralDate(Dt(2026, 12, 5, 0, 0, 1)), "12/5/2026 12:00:01 AM");
    EXPECT_EQ(FormatGeneralDate(Dt(2026, 1, 31, 12, 30, 0)), "1/31/2026 12:30:00 PM");
    EXPECT_EQ(FormatHhMmSsAmPm(Dt(2026, 1, 1, 0, 5, 0)), "12:05:00 AM");
    EXPECT_EQ(FormatHhMmSsAmPm(Dt(2026, 1, 1, 12, 5, 0)), "12:05:00 PM");
}

TEST(DateFormats, WeekdaysAcrossYearsAndLeapDays) {
    EXPECT_EQ(Dt(2026, 12, 7, 0, 0, 0).MondayIndex(), 0);  // Monday
    EXPECT_EQ(Dt(2026, 12, 6, 0, 0, 0).MondayIndex(), 6);  // Sunday
    EXPECT_EQ(Dt(2024, 2, 29, 0, 0, 0).MondayIndex(), 3);  // Thursday
    EXPECT_EQ(Dt(2000, 1, 1, 0, 0, 0).DayOfWeek(), 6);     // Saturday
    const LocalDateTime t = Dt(2024, 2, 28, 23, 59, 59);
    EXPECT_EQ(FromEpochMs(ToEpochMs(t) + 1000), Dt(2024, 2, 29, 0, 0, 0));
}

TEST(NumberFormats, LeadingZerosAndSigns) {
    EXPECT_EQ(Format0000(12), "0012");
    EXPECT_EQ(Format0000(12345), "12345");
    EXPECT_EQ(Format0000(-1), "-0001");
    EXPECT_EQ(Format00(3), "03");
    EXPECT_EQ(Format00(123), "123");
}

TEST(TimeOfDayParsing, AcceptsTheClockAndEventForms) {
    EXPECT_EQ(ParseTimeOfDay("14:03:09"), 14 * 3600 + 3 * 60 + 9);
    EXPECT_EQ(ParseTimeOfDay("9:00:00"), 9 * 3600);
    EXPECT_EQ(ParseTimeOfDay(" 08:30 "), 8 * 3600 + 30 * 60);
    EXPECT_EQ(ParseTimeOfDay("02:03:09 PM"), 14 * 3600 + 3 * 60 + 9);
    EXPECT_EQ(ParseTimeOfDay("12:00:00 am"), 0);
    EXPECT_EQ(ParseTimeOfDay("12:00:00 PM"), 12 * 3600);
    EXPECT_EQ(ParseTimeOfDay("00:00:00"), 0);
    EXPECT_EQ(ParseTimeOfDay("23:59:59"), 86399);
    EXPECT_EQ(ParseTimeOfDay("24:00:00"), NoTimeOfDay);
}

TEST(TimeOfDayParsing, AnythingElseIsATypeMismatch) {
    for (const char* bad : {"", "None", "25:00:00", "24:00:01", "10:60:00", "10:00:60", "10",
                            "10:00:00 XM", "13:00:00 PM", "0:00 AM", "10:00:00x", "1O:00:00"}) {
        EXPECT_EQ(FaultNumberOf([&] { ParseTimeOfDay(bad); }), faults::TypeMismatch) << bad;
    }
}

TEST(CheckedConversions, OverflowSubscriptAndTypeMismatch) {
    EXPECT_EQ(ToInt16(-32768), -32768);
    EXPECT_EQ(FaultNumberOf([] { ToInt16(32768); }), faults::Overflow);
    EXPECT_EQ(FaultNumberOf([] { ToByte(256); }), faults::Overflow);
    EXPECT_EQ(FaultNumberOf([] { ToByte(-1); }), faults::Overflow);
    std::vector<int> v{1, 2};
    EXPECT_EQ(FaultNumberOf([&] { At(v, 2); }), faults::SubscriptOutOfRange);
    EXPECT_EQ(FaultNumberOf([&] { At(v, -1); }), faults::SubscriptOutOfRange);
    EXPECT_EQ(TextToLong("  7"), 7);
    EXPECT_EQ(TextToLong("-12 "), -12);
    EXPECT_EQ(FaultNumberOf([] { TextToLong("7a"); }), faults::TypeMismatch);
    EXPECT_EQ(FaultNumberOf([] { TextToLong(""); }), faults::TypeMismatch);
    EXPECT_EQ(FaultNumberOf([] { TextToLong("99999999999"); }), faults::Overflow);
}

TEST(FaultInFlight, ReadsTheFaultBeingHandled) {
    EXPECT_EQ(CurrentFault().Number, 0);
    try {
        throw Fault(3078, "Cannot find the input table");
    } catch (...) {
        EXPECT_EQ(CurrentFault().Number, 3078);
        EXPECT_EQ(CurrentFault().Description, "Cannot find the input table");
    }
    try {
        throw std::out_of_range("boom");
    } catch (...) {
        EXPECT_EQ(CurrentFault().Number, faults::InternalError);
    }
}

TEST(Cp1252Text, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
    EXPECT_EQ(Cp1252ToUtf8("\xE9"), "\xC3\xA9");      // e acute
    EXPECT_EQ(Utf8ToCp1252("\xE2\x80\x9C"), "\x93");  // left double quote
    EXPECT_EQ(Utf8ToCp1252("\xE4\xB8\xAD"), "?");     // not in the code page
    EXPECT_EQ(Utf8ToCp1252("\xFF"
                           "A"),
              "\xFF"
              "A");  // not UTF-8: kept as bytes
}

}  // namespace
}  // namespace qtx
