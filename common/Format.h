#pragma once
// Text formats of dates, times and numbers, with English day and month names.
#include <cstdint>
#include <string>

#include "common/DateTime.h"

namespace qtx {

std::string FormatHhMmSs(const LocalDateTime& t);      // "14:03:09"
std::string FormatHhMmSs(TimeOfDay t);                 // "14:03:09"
std::string FormatHhMmSsAmPm(const LocalDateTime& t);  // "02:03:09 PM"
std::string FormatLongDate(const LocalDateTime& t);    // "Saturday, Dec 5 2026"
std::string FormatLogStamp(const LocalDateTime& t);    // "Sat, Dec 05, 2026 - 14:03:09"
std::string FormatGeneralDate(
    const LocalDateTime& t);        // "12/5/2026 2:03:09 PM"; date alone at midnight
std::string Format0000(int64_t v);  // at least four digits, "-012" style for negatives
std::string Format00(int64_t v);    // at least two digits

// A time-of-day text read the way the engine reads event times and clock texts.
// Grammar: blanks, H[H] ":" M[M] [":" S[S]], blanks, optional "AM" or "PM" (any case), blanks.
// Hours 0 to 23 (1 to 12 with AM/PM), minutes and seconds 0 to 59.
// "24:00:00" (a record without a time) gives NoTimeOfDay. Anything else is fault 13.
TimeOfDay ParseTimeOfDay(const std::string& text);

const char* EnglishDayName(int dayOfWeekSundayZero);  // "Sunday"
const char* EnglishMonthName(int month);              // "January"

}  // namespace qtx
