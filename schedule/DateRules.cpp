#include "schedule/DateRules.h"

#include <cstdio>

#include "common/DateTime.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx::schedule {

namespace {

bool Digits(const std::string& s, size_t at, size_t n) {
    for (size_t i = at; i < at + n; ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

int Number(const std::string& s, size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i)
        v = v * 10 + (s[i] - '0');
    return v;
}

// Day number of the Monday of the week holding day (1970-01-01 was a Thursday).
int64_t MondayOf(int64_t day) {
    return day - ((day + 3) % 7 + 7) % 7;
}

int64_t FloorMod(int64_t a, int64_t n) {
    return (a % n + n) % n;
}

[[noreturn]] void Unreadable(int number, const char* field, const std::string& value) {
    throw Fault(faults::TypeMismatch, "event " + std::to_string(number) + ": " + field + " \"" +
                                          value + "\" cannot be read");
}

std::string TwoDigits(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v);
    return b;
}

}  // namespace

std::optional<int64_t> ParseDate(const std::string& t) {
    if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !Digits(t, 0, 4) || !Digits(t, 5, 2) ||
        !Digits(t, 8, 2))
        return std::nullopt;
    const int y = Number(t, 0, 4), m = Number(t, 5, 2), d = Number(t, 8, 2);
    if (y < 1601 || m < 1 || m > 12 || d < 1)
        return std::nullopt;
    const int64_t day = DaysFromCivil(y, m, d);
    int yy = 0, mm = 0, dd = 0;
    CivilFromDays(day, yy, mm, dd);
    if (yy != y || mm != m || dd != d)  // 2026-02-30 and the like
        return std::nullopt;
    return day;
}

std::string FormatDate(int64_t day) {
    int y = 0, m = 0, d = 0;
    CivilFromDays(day, y, m, d);
    char b[16];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", y, m, d);
    return b;
}

std::optional<int> ParseClockSpan(const std::string& t) {
    if (t.size() != 8 || t[2] != ':' || t[5] != ':' || !Digits(t, 0, 2) || !Digits(t, 3, 2) ||
        !Digits(t, 6, 2))
        return std::nullopt;
    const int h = Number(t, 0, 2), m = Number(t, 3, 2), s = Number(t, 6, 2);
    if (h > 23 || m > 59 || s > 59)
        return std::nullopt;
    return h * 3600 + m * 60 + s;
}

std::string DescribeDateRules(const DateRules& r) {
    std::vector<std::string> parts;
    if (r.From && r.Until)
        parts.push_back("from " + *r.From + " until " + *r.Until);
    else if (r.From)
        parts.push_back("from " + *r.From);
    else if (r.Until)
        parts.push_back("until " + *r.Until);
    if (r.EveryWeeks)
        parts.push_back("every " + std::to_string(*r.EveryWeeks) + " weeks from the week of " +
                        r.WeekOf.value_or("?"));
    auto names = [](const std::vector<std::string>& list) {
        std::string out;
        for (const std::string& n : list)
            out += (out.empty() ? "" : ",") + n;
        return out;
    };
    if (!r.Except.empty())
        parts.push_back("except " + names(r.Except));
    if (!r.Only.empty())
        parts.push_back("only " + names(r.Only));
    if (r.Latest)
        parts.push_back("at most " + *r.Latest + " late");
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : ", ") + p;
    return out;
}

DateBook::DateBook(const std::map<int, DateRules>& rules, const std::vector<Calendar>& calendars) {
    for (const Calendar& c : calendars) {
        auto& dates = calendars_[c.Name];
        for (const CalendarDate& d : c.Dates)
            dates.emplace(d.Day, d.Title);
    }
    for (const auto& [number, r] : rules) {
        if (r.Empty())
            continue;
        Compiled c;
        if (r.From && !(c.From = ParseDate(*r.From)))
            Unreadable(number, "from", *r.From);
        if (r.Until && !(c.Until = ParseDate(*r.Until)))
            Unreadable(number, "until", *r.Until);
        if (r.WeekOf && !(c.WeekOf = ParseDate(*r.WeekOf)))
            Unreadable(number, "week_of", *r.WeekOf);
        if (r.EveryWeeks) {
            if (*r.EveryWeeks < 1 || *r.EveryWeeks > 52 || !c.WeekOf)
                Unreadable(number, "every_weeks", std::to_string(*r.EveryWeeks));
            c.EveryWeeks = *r.EveryWeeks;
        }
        if (r.Latest && !(c.Latest = ParseClockSpan(*r.Latest)))
            Unreadable(number, "latest", *r.Latest);
        c.Except = r.Except;
        c.Only = r.Only;
        rules_.emplace(number, std::move(c));
    }
}

Judgement DateBook::Judge(int number, int64_t day) const {
    const auto it = rules_.find(number);
    if (it == rules_.end())
        return {};
    const Compiled& r = it->second;
    if ((r.From && day < *r.From) || (r.Until && day > *r.Until))
        return {DateVerdict::OutsideDates, "Outside its dates"};
    if (r.WeekOf && r.EveryWeeks > 1 &&
        FloorMod((MondayOf(day) - MondayOf(*r.WeekOf)) / 7, r.EveryWeeks) != 0)
        return {DateVerdict::NotItsWeek, "Not its week"};
    for (const std::string& name : r.Except) {
        const auto c = calendars_.find(name);
        if (c == calendars_.end())
            continue;
        const auto d = c->second.find(day);
        if (d != c->second.end())
            return {DateVerdict::Holiday, "Holiday " + d->second + " (" + name + ")"};
    }
    // Only: the date must be in at least one of the calendars named.
    if (r.Only.empty())
        return {};
    std::string names;
    for (const std::string& name : r.Only) {
        const auto c = calendars_.find(name);
        if (c != calendars_.end() && c->second.count(day) != 0)
            return {};
        names += (names.empty() ? "" : ",") + name;
    }
    return {DateVerdict::NotInCalendar, "Not in " + names};
}

Judgement DateBook::JudgeStart(int number, int dueSecond, int64_t latenessMs) const {
    const auto it = rules_.find(number);
    if (it == rules_.end() || !it->second.Latest)
        return {};
    // Whole seconds: a run is in time through the last millisecond of its latest second.
    if (latenessMs < (int64_t{*it->second.Latest} + 1) * 1000)
        return {};
    const int s = ((dueSecond % 86400) + 86400) % 86400;
    return {DateVerdict::TooLate, "Too late (due " + TwoDigits(s / 3600) + ":" +
                                      TwoDigits(s / 60 % 60) + ":" + TwoDigits(s % 60) + ")"};
}

}  // namespace qtx::schedule
