#pragma once
// An event's date rules (from/until, every Nth week, calendars to avoid or follow, how late a run
// may still start) and the judgement of one occurrence under them. The engine judges each
// occurrence here, and the preview runs the engine, so both say the same.
//
// Dates are local civil dates held as day numbers (days since 1970-01-01, common/DateTime.h):
// an occurrence is judged on the date its moment falls on in local time.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qtx::schedule {

// The rules as an operator gives them. Dates and the time stay texts so that a bad value can be
// carried to the rules (schedule/Rules.h) and named there.
struct DateRules {
    std::optional<std::string> From, Until;  // "YYYY-MM-DD", inclusive
    std::optional<int> EveryWeeks;           // 1..52, with WeekOf
    std::optional<std::string> WeekOf;       // a date in a week when the event runs
    std::vector<std::string> Except, Only;   // calendar names
    std::optional<std::string> Latest;       // "hh:mm:ss"
    bool Empty() const {
        return !From && !Until && !EveryWeeks && !WeekOf && Except.empty() && Only.empty() &&
               !Latest;
    }
    bool operator==(const DateRules&) const = default;
};

struct CalendarDate {
    int64_t Day = 0;  // day number
    std::string Title;
    bool operator==(const CalendarDate&) const = default;
};

// A named set of dates, ascending, each with a title.
struct Calendar {
    std::string Name;
    std::vector<CalendarDate> Dates;
};

// "YYYY-MM-DD" of a date that exists (years 1601..9999) as a day number; nullopt otherwise.
std::optional<int64_t> ParseDate(const std::string& text);
std::string FormatDate(int64_t day);
// "hh:mm:ss" 00:00:00..23:59:59 as seconds; nullopt otherwise.
std::optional<int> ParseClockSpan(const std::string& text);

// The rules in words, "" when there are none:
//   from 2027-01-01 until 2027-06-30, every 2 weeks from the week of 2027-01-04, except uk,
//   only term, at most 00:00:10 late
std::string DescribeDateRules(const DateRules& r);

// Why the rules keep an occurrence from running.
enum class DateVerdict { Runs, OutsideDates, NotItsWeek, Holiday, NotInCalendar, TooLate };

struct Judgement {
    DateVerdict Verdict = DateVerdict::Runs;
    // "Holiday Christmas Day (uk)", "Not in term", "Outside its dates", "Not its week",
    // "Too late (due 06:00:00)"; "" when it runs.
    std::string Text;
    // Outside its dates and not its week pass without an activity-log line: an ended season or
    // an off week is the plan, not news.
    bool Silent() const {
        return Verdict == DateVerdict::OutsideDates || Verdict == DateVerdict::NotItsWeek;
    }
};

// Every event's rules with the calendars they name, ready to judge. Built once per load.
class DateBook {
  public:
    // Faults (qtx::Fault, naming the event and field) on a rule that cannot be read: a date that
    // does not exist, every_weeks without week_of or outside 1..52, a latest that is not
    // hh:mm:ss. A calendar that calendars lacks counts as one without dates.
    DateBook(const std::map<int, DateRules>& rules, const std::vector<Calendar>& calendars);
    DateBook() = default;

    bool Empty() const { return rules_.empty(); }
    // The judgement of event number's occurrence on day (its dates, its week, its calendars).
    Judgement Judge(int number, int64_t day) const;
    // The judgement of a run starting latenessMs after its second (dueSecond of the day): too
    // late beyond the event's latest (latest 5 s: up to 5.999 s late still starts).
    Judgement JudgeStart(int number, int dueSecond, int64_t latenessMs) const;

  private:
    struct Compiled {
        std::optional<int64_t> From, Until, WeekOf;
        int EveryWeeks = 1;
        std::vector<std::string> Except, Only;
        std::optional<int> Latest;
    };
    std::map<int, Compiled> rules_;
    std::map<std::string, std::map<int64_t, std::string>> calendars_;
};

}  // namespace qtx::schedule
