#include "eventdb/IcsImport.h"

#include <libical/ical.h>

#include <algorithm>
#include <map>
#include <memory>

#include "common/DateTime.h"

namespace qtx {

using schedule::CalendarDate;

namespace {

// What the line check learnt of one VEVENT: where it begins and where each property is.
struct EventLines {
    int Begin = 0;
    std::map<std::string, int> Properties;  // upper-case name -> first line
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool AllDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYYMMDD" or "YYYYMMDDThhmmss[Z]" with its parts in range. libical reads "2027013X" as a
// date of its own choosing; a file like that is refused instead.
bool IsDateOrDateTime(const std::string& v) {
    if (v.size() < 8 || !AllDigits(v.substr(0, 8)))
        return false;
    const int month = std::stoi(v.substr(4, 2)), day = std::stoi(v.substr(6, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (v.size() == 8)
        return true;
    std::string time = v.substr(8);
    if (!time.empty() && time.back() == 'Z')
        time.pop_back();
    if (time.size() != 7 || time[0] != 'T' || !AllDigits(time.substr(1)))
        return false;
    return std::stoi(time.substr(1, 2)) <= 23 && std::stoi(time.substr(3, 2)) <= 59 &&
           std::stoi(time.substr(5, 2)) <= 60;
}

// The value of a date property: each comma-separated item a date or date-time (a period of an
// RDATE by its start).
bool IsDateValue(const std::string& name, const std::string& value) {
    size_t pos = 0;
    while (true) {
        const size_t end = value.find(',', pos);
        std::string item = value.substr(pos, end == std::string::npos ? end : end - pos);
        if (name == "RDATE" && item.find('/') != std::string::npos)
            item = item.substr(0, item.find('/'));
        if (!IsDateOrDateTime(item))
            return false;
        if (end == std::string::npos)
            return true;
        pos = end + 1;
    }
}

// Checks the file's lines (content lines "NAME[;PARAM]:VALUE", folded lines joined, BEGIN and
// END nested and matched) and notes the lines of each VEVENT. libical itself is forgiving and
// does not say where a file went wrong.
std::vector<EventLines> CheckLines(const std::string& text) {
    std::vector<std::pair<int, std::string>> logical;  // first physical line, unfolded text
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (logical.empty())
                throw IcsError(number, "a continued line with nothing before it");
            logical.back().second += line.substr(1);
            continue;
        }
        if (line.empty())
            continue;
        logical.emplace_back(number, line);
    }
    if (logical.empty())
        throw IcsError(1, "the file is empty");
    std::vector<std::string> open;
    std::vector<EventLines> events;
    for (const auto& [at, line] : logical) {
        const size_t colon = line.find(':');
        const size_t nameEnd = std::min(colon, line.find(';'));
        if (colon == std::string::npos || nameEnd == 0)
            throw IcsError(at, "not a content line NAME:VALUE");
        const std::string name = Upper(line.substr(0, nameEnd));
        for (char c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                throw IcsError(at, "\"" + name + "\" is not a property name");
        const std::string value = Upper(line.substr(colon + 1));
        if (open.empty() && !(name == "BEGIN" && value == "VCALENDAR"))
            throw IcsError(at, "expected BEGIN:VCALENDAR");
        if (name == "BEGIN") {
            open.push_back(value);
            if (value == "VEVENT")
                events.push_back({at, {}});
        } else if (name == "END") {
            if (open.empty() || open.back() != value)
                throw IcsError(at, "END:" + value + " does not end " +
                                       (open.empty() ? "anything" : "BEGIN:" + open.back()));
            open.pop_back();
        } else if (!open.empty() && open.back() == "VEVENT") {
            events.back().Properties.emplace(name, at);
            if ((name == "DTSTART" || name == "DTEND" || name == "EXDATE" || name == "RDATE" ||
                 name == "RECURRENCE-ID") &&
                !IsDateValue(name, value))
                throw IcsError(at, name + " \"" + line.substr(colon + 1) +
                                       "\" is not a date (YYYYMMDD) or date-time "
                                       "(YYYYMMDDThhmmss)");
        }
    }
    if (!open.empty())
        throw IcsError(logical.back().first, "BEGIN:" + open.back() + " is never ended");
    return events;
}

struct ComponentFree {
    void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};
struct IteratorFree {
    void operator()(icalrecur_iterator* i) const { icalrecur_iterator_free(i); }
};

int64_t DayOf(const icaltimetype& t) {
    return DaysFromCivil(t.year, t.month, t.day);
}

// A SUMMARY as a date's title: one line, at most 255 characters (UTF-8 kept whole).
std::string Title(const char* summary) {
    std::string t = summary ? summary : "";
    for (char& c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    size_t chars = 0, at = 0;
    for (; at < t.size(); ++at)
        if ((static_cast<unsigned char>(t[at]) & 0xC0) != 0x80 && ++chars > 255)
            break;
    t.resize(at);
    return t;
}

// The line of a VEVENT that a libical error names, else the line of its BEGIN.
int LineOfError(const EventLines& lines, const std::string& error) {
    int best = lines.Begin;
    size_t bestLength = 0;
    const std::string upper = Upper(error);
    for (const auto& [name, line] : lines.Properties)
        if (name.size() > bestLength && upper.find(name) != std::string::npos) {
            best = line;
            bestLength = name.size();
        }
    return best;
}

}  // namespace

std::vector<CalendarDate> ReadIcsDates(const std::string& text, int64_t first, int64_t last) {
    const std::vector<EventLines> lines = CheckLines(text);
    icalerror_set_errors_are_fatal(0);
    const std::unique_ptr<icalcomponent, ComponentFree> root(icalparser_parse_string(text.c_str()));
    if (!root)
        throw IcsError(1, "not an iCalendar file");
    icalcomponent* calendar =
        icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT
            ? root.get()
            : icalcomponent_get_first_component(root.get(), ICAL_VCALENDAR_COMPONENT);
    if (!calendar)
        throw IcsError(1, "no VCALENDAR");
    // The instances that other VEVENTs of the same UID replace (a moved or cancelled date,
    // RECURRENCE-ID): the rule no longer yields them itself.
    std::map<std::string, std::vector<int64_t>> replaced;
    for (icalcomponent* ev = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); ev;
         ev = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        const icaltimetype id = icalcomponent_get_recurrenceid(ev);
        if (!icaltime_is_null_time(id) && icalcomponent_get_uid(ev) != nullptr)
            replaced[icalcomponent_get_uid(ev)].push_back(DayOf(id));
    }
    std::map<int64_t, std::string> dates;
    size_t index = 0;
    for (icalcomponent* ev = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); ev;
         ev = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT), ++index) {
        const EventLines here = index < lines.size() ? lines[index] : EventLines{1, {}};
        if (icalproperty* err = icalcomponent_get_first_property(ev, ICAL_XLICERROR_PROPERTY)) {
            const std::string what = icalproperty_get_xlicerror(err);
            throw IcsError(LineOfError(here, what), what);
        }
        const icaltimetype start = icalcomponent_get_dtstart(ev);
        if (icaltime_is_null_time(start) || !icaltime_is_valid_time(start))
            throw IcsError(
                here.Properties.count("DTSTART") ? here.Properties.at("DTSTART") : here.Begin,
                "a VEVENT without a readable DTSTART");
        // All-day: every date from DTSTART up to DTEND (exclusive), or of its DURATION.
        int64_t span = 1;
        if (start.is_date) {
            const icaltimetype end = icalcomponent_get_dtend(ev);
            if (!icaltime_is_null_time(end))
                span = std::clamp<int64_t>(DayOf(end) - DayOf(start), 1, 366);
        }
        // A cancelled event or instance yields no date.
        if (icalcomponent_get_status(ev) == ICAL_STATUS_CANCELLED)
            continue;
        std::vector<icaltimetype> starts;
        bool recurs = false;
        for (icalproperty* p = icalcomponent_get_first_property(ev, ICAL_RRULE_PROPERTY); p;
             p = icalcomponent_get_next_property(ev, ICAL_RRULE_PROPERTY)) {
            recurs = true;
            const std::unique_ptr<icalrecur_iterator, IteratorFree> it(
                icalrecur_iterator_new(icalproperty_get_rrule(p), start));
            if (!it)
                throw IcsError(
                    here.Properties.count("RRULE") ? here.Properties.at("RRULE") : here.Begin,
                    "an RRULE that cannot be followed");
            // Bounded: a rule since long ago steps at most this often before reaching the end.
            for (int guard = 0; guard < 1000000; ++guard) {
                const icaltimetype next = icalrecur_iterator_next(it.get());
                if (icaltime_is_null_time(next) || DayOf(next) > last)
                    break;
                starts.push_back(next);
            }
        }
        if (!recurs)
            starts.push_back(start);
        for (icalproperty* p = icalcomponent_get_first_property(ev, ICAL_RDATE_PROPERTY); p;
             p = icalcomponent_get_next_property(ev, ICAL_RDATE_PROPERTY)) {
            const icaldatetimeperiodtype r = icalproperty_get_rdate(p);
            starts.push_back(icaltime_is_null_time(r.time) ? r.period.start : r.time);
        }
        std::vector<int64_t> excluded;
        if (icaltime_is_null_time(icalcomponent_get_recurrenceid(ev)) &&
            icalcomponent_get_uid(ev) != nullptr) {
            const auto it = replaced.find(icalcomponent_get_uid(ev));
            if (it != replaced.end())
                excluded = it->second;
        }
        for (icalproperty* p = icalcomponent_get_first_property(ev, ICAL_EXDATE_PROPERTY); p;
             p = icalcomponent_get_next_property(ev, ICAL_EXDATE_PROPERTY))
            excluded.push_back(DayOf(icalproperty_get_exdate(p)));
        const std::string title = Title(icalcomponent_get_summary(ev));
        for (const icaltimetype& s : starts) {
            const int64_t day = DayOf(s);
            if (std::find(excluded.begin(), excluded.end(), day) != excluded.end())
                continue;
            for (int64_t d = day; d < day + span; ++d)
                if (d >= first && d <= last)
                    dates.emplace(d, title);
        }
    }
    std::vector<CalendarDate> out;
    out.reserve(dates.size());
    for (const auto& [day, title] : dates)
        out.push_back({day, title});
    return out;
}

std::vector<CalendarDate> ReadIcsDatesFrom(const std::string& text, int64_t today) {
    int y = 0, m = 0, d = 0;
    CivilFromDays(today, y, m, d);
    // 29 February five years on is 1 March (DaysFromCivil counts on past a month's end).
    return ReadIcsDates(text, today, DaysFromCivil(y + 5, m, d) - 1);
}

}  // namespace qtx
