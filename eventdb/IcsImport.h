#pragma once
// The dates of an iCalendar file (RFC 5545) for `qtx-eventdb calendar import`, read with
// libical: each VEVENT's DTSTART (all-day or timed), its DTEND or DURATION span, RRULE, RDATE
// and EXDATE, with the file's VTIMEZONEs. A timed event counts on the date of its start in its
// own time zone; an all-day event on every date of its span. A VEVENT with a RECURRENCE-ID
// replaces that instance of its UID's rule (a moved date); a cancelled one (STATUS:CANCELLED)
// yields no date.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "schedule/DateRules.h"

namespace qtx {

// A file that cannot be read as iCalendar: Line is the line (from 1) it failed at.
struct IcsError : std::runtime_error {
    IcsError(int line, const std::string& what)
        : std::runtime_error("line " + std::to_string(line) + ": " + what), Line(line) {}
    int Line;
};

// The dates of text from day first to day last (day numbers, inclusive), ascending, each with
// its event's SUMMARY (control characters made blanks, at most 255 characters). A date two
// events fall on keeps the first one's title. Throws IcsError.
std::vector<schedule::CalendarDate> ReadIcsDates(const std::string& text, int64_t first,
                                                 int64_t last);

// The dates an import keeps: those of the five years from today (a day number) on, today
// included and the same date five years on not. Throws IcsError.
std::vector<schedule::CalendarDate> ReadIcsDatesFrom(const std::string& text, int64_t today);

}  // namespace qtx
