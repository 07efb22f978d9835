#include "schedule/Rules.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>

#include "common/Checked.h"
#include "common/Format.h"
#include "common/Text.h"
#include "database/EngineSettings.h"
#include "schedule/LoadedColumns.h"
#include "schedule/MessageFolder.h"

namespace qtx::schedule {

namespace {

// Numbers that travel as one 14-bit word on the wire, counted from 1 in events.
constexpr int MaxWireNumber = 16384;
constexpr int MaxTextLength = 255;    // Title and Message columns
constexpr int MaxAddressLength = 20;  // MIPAddress column
constexpr int MaxEventRows = 32767;

// A UTF-8 text as the messages show it: a C0 control or DEL as \xHH, so a message stays one
// line (bytes 0x80 and up are parts of UTF-8 characters here and are left as they are).
std::string Shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
    }
    return out;
}

std::string Quote(const std::string& s) {
    return "\"" + Shown(s) + "\"";
}

std::string EventName(int number, const std::string& title) {
    return "event " + std::to_string(number) + " " + Quote(title);
}

// Collects the problems of one event (or one row) with the prefix that names it.
struct Collector {
    std::vector<Problem>& Out;
    int Number;
    std::string Title;
    std::string Prefix;
    int Row = 0;

    // "<prefix>: <field> <shown value> <what> (<allowed>)"
    void Add(const std::string& field, const std::string& value, bool quoted,
             const std::string& what, const std::string& allowed) {
        Problem p;
        p.Number = Number;
        p.Title = Title;
        p.Field = field;
        p.Value = value;
        p.Allowed = allowed;
        p.Row = Row;
        const std::string shown = quoted          ? Quote(value) + " "
                                  : value.empty() ? ""
                                                  : Shown(value) + " ";
        p.Message = Prefix + ": " + field + " " + shown + what +
                    (allowed.empty() ? "" : " (" + allowed + ")");
        Out.push_back(std::move(p));
    }
    void Range(const std::string& field, int64_t v, int64_t lo, int64_t hi,
               const std::string& what) {
        if (v < lo || v > hi)
            Add(field, std::to_string(v), false, what,
                std::to_string(lo) + " to " + std::to_string(hi));
    }
};

size_t Length8Bit(const std::string& utf8) {
    return Utf8ToCp1252(utf8).size();
}

const char* const kNoControls =
    "letters, digits, blanks and signs; no CR, LF, tab or other control character";

// Which field of the event form a column feeds, so a value reported for the row is not
// reported again for the event read from it.
std::string EventFieldOfColumn(const std::string& column) {
    static const std::pair<const char*, const char*> map[] = {
        {"Number", "number"},
        {"Day", "days"},
        {"Time", "time"},
        {"Title", "title"},
        {"Active", "marking"},
        {"Gain", "gain.gain"},
        {"MFrame", "message.frame"},
        {"MSlot", "message.slot"},
        {"MPort", "message.port"},
        {"MCommPort", "message.port"},
        {"MIPPort", "message.port"},
        {"MBaudRate", "message.baud"},
    };
    const ColumnNameLess less;
    for (const auto& [c, f] : map)
        if (!less(column, c) && !less(c, column))
            return f;
    return "";
}

// A Collector for one stored row that names the row's event only when there is a problem to
// report (reading the event from the row is the costly part of checking a clean row).
struct RowCollector {
    std::vector<Problem>& Out;
    const Row& TheRow;
    bool HasNumber;
    int Position;

    void Add(const std::string& field, const std::string& value, bool quoted,
             const std::string& what, const std::string& allowed) {
        const Event e = EventFromRow(TheRow);
        const std::string name =
            HasNumber ? EventName(e.Number, e.Title) : std::string("event without a number");
        Collector c{Out, e.Number, e.Title, "row " + std::to_string(Position) + " (" + name + ")",
                    Position};
        c.Add(field, value, quoted, what, allowed);
    }
    void Range(const std::string& field, int64_t v, int64_t lo, int64_t hi,
               const std::string& what) {
        if (v < lo || v > hi)
            Add(field, std::to_string(v), false, what,
                std::to_string(lo) + " to " + std::to_string(hi));
    }
};

}  // namespace

// CheckNumbers with the rows already grouped by number.
std::vector<Problem> CheckNumbersOfGroups(const std::vector<Row>& rows,
                                          const std::vector<std::vector<size_t>>& groups);

namespace {

constexpr size_t MaxCalendarName = 64;

// The date rules of e but the calendars' existence (calendars null) or with it.
void CheckDates(const Event& e, const std::vector<std::string>* calendars,
                std::vector<Problem>& out) {
    Collector c{out, e.Number, e.Title, EventName(e.Number, e.Title)};
    const DateRules& r = e.Dates;
    const char* const dateForm = "YYYY-MM-DD, a date that exists";
    std::optional<int64_t> from, until;
    if (r.From && !(from = ParseDate(*r.From)))
        c.Add("from", *r.From, true, "is not a date", dateForm);
    if (r.Until && !(until = ParseDate(*r.Until)))
        c.Add("until", *r.Until, true, "is not a date", dateForm);
    if (from && until && *until < *from)
        c.Add("until", *r.Until, true, "is before from " + Quote(*r.From),
              "a date on or after from");
    if (r.WeekOf && !ParseDate(*r.WeekOf))
        c.Add("week_of", *r.WeekOf, true, "is not a date", dateForm);
    if (r.EveryWeeks) {
        c.Range("every_weeks", *r.EveryWeeks, 1, 52, "is not a number of weeks");
        if (!r.WeekOf)
            c.Add("week_of", "", false, "is missing",
                  "every_weeks counts weeks from the week holding week_of");
    }
    if (r.Latest && !ParseClockSpan(*r.Latest))
        c.Add("latest", *r.Latest, true, "is not a span of time", "hh:mm:ss, 00:00:00 to 23:59:59");
    for (const auto& [field, names] :
         {std::pair<const char*, const std::vector<std::string>*>{"except", &r.Except},
          {"only", &r.Only}}) {
        for (const std::string& name : *names) {
            if (name.empty() || name.size() > MaxCalendarName || HasControlUtf8(name) ||
                name.find(',') != std::string::npos)
                c.Add(field, name, true, "is not a calendar name",
                      "1 to 64 characters, no comma or control character");
            else if (calendars &&
                     std::find(calendars->begin(), calendars->end(), name) == calendars->end())
                c.Add(field, name, true, "is not a calendar of this file",
                      "a calendar named by calendar add or calendar import");
        }
    }
}

}  // namespace

std::vector<Problem> CheckEvent(const Event& e) {
    std::vector<Problem> out;
    Collector c{out, e.Number, e.Title, EventName(e.Number, e.Title)};
    c.Range("number", e.Number, 1, 32767, "is not an event number");
    if (Length8Bit(e.Title) > MaxTextLength)
        c.Add("title", e.Title, true, "is too long",
              "at most " + std::to_string(MaxTextLength) + " characters");
    if (HasControlUtf8(e.Title))
        c.Add("title", e.Title, true, "holds a control character", kNoControls);
    for (int d : e.Days)
        if (d < 0 || d > 6)
            c.Add("days", std::to_string(d), false, "is not a day of the week",
                  "mon to sun; none for an event without a day");
    if (e.Time && !IsTimeOfDay(*e.Time))
        c.Add("time", *e.Time, true, "is not a time of day", "hh:mm:ss, 00:00:00 to 23:59:59");
    if (e.When) {
        c.Range("condition.source", e.When->Source, 1, MaxWireNumber, "is not a source");
        c.Range("condition.destination", e.When->Destination, 1, MaxWireNumber,
                "is not a destination");
    }
    if (const auto& x = e.Do.Crosspoint) {
        const std::string k = CrosspointKindName(x->Kind);
        c.Range(k + ".source", x->Source, 1, MaxWireNumber, "is not a source");
        c.Range(k + ".destination", x->Destination, 1, MaxWireNumber, "is not a destination");
    }
    if (e.Do.Salvo)
        c.Range("salvo", e.Do.Salvo->Salvo, 1, MaxWireNumber, "is not a salvo");
    if (e.Do.Relay)
        c.Range("relay", e.Do.Relay->Relay, 1, MaxWireNumber, "is not a relay");
    if (const auto& g = e.Do.Gain) {
        c.Range("gain.channel", g->Channel, 1, MaxWireNumber, "is not a channel");
        c.Range("gain.gain", g->Gain, 0, 2024, "is not a gain");
    }
    if (const auto& m = e.Do.Message) {
        const std::string textField =
            m->Content == MessageContent::File ? "message.file" : "message.text";
        if (Length8Bit(m->Text) > MaxTextLength)
            c.Add(textField, m->Text, true, "is too long",
                  "at most " + std::to_string(MaxTextLength) + " characters");
        if (m->Content == MessageContent::File && m->Text.empty())
            c.Add(textField, m->Text, true, "names no file", "the path of a readable file");
        if (HasControlUtf8(m->Text))
            c.Add(textField, m->Text, true, "holds a control character",
                  m->Content == MessageContent::File
                      ? std::string(kNoControls)
                      : std::string(kNoControls) + "; caret codes for them: ^M CR, ^J LF, ^I tab");
        switch (m->To) {
            case MessageTo::Ip:
                if (!IsDottedAddress(m->Address) || m->Address.size() > MaxAddressLength)
                    c.Add("message.address", m->Address, true, "is not an IPv4 address",
                          "four numbers 0 to 255 with dots, like 127.0.0.1");
                c.Range("message.port", m->Port, 1, 65535, "is not a TCP port");
                break;
            case MessageTo::Serial:
                c.Range("message.port", m->Port, 1, 256, "is not a serial port");
                if (m->Baud < 0 || m->Baud > 7)
                    c.Add("message.baud", std::to_string(m->Baud), false, "is not a baud code",
                          "0 2400, 1 9600, 2 14400, 3 19200, 4 28800, 5 57600, 6 115200, "
                          "7 128000");
                break;
            case MessageTo::Switcher:
                c.Range("message.frame", m->Frame, 0, 255, "is not a switcher frame");
                c.Range("message.slot", m->Slot, 0, 255, "is not a switcher slot");
                c.Range("message.port", m->Port, 0, 255, "is not a switcher port");
                break;
        }
    }
    CheckDates(e, nullptr, out);
    return out;
}

std::vector<Problem> CheckDateRules(const Event& e, const std::vector<std::string>& calendars) {
    std::vector<Problem> out;
    CheckDates(e, &calendars, out);
    return out;
}

std::vector<Problem> CheckCalendarName(const std::string& name) {
    std::vector<Problem> out;
    Collector c{out, 0, "", "calendar"};
    if (name.empty() || name.size() > MaxCalendarName || HasControlUtf8(name) ||
        name.find(',') != std::string::npos)
        c.Add("calendar", name, true, "is not a calendar name",
              "1 to 64 characters, no comma or control character");
    return out;
}

std::vector<Problem> CheckCalendarTitle(const std::string& name, const std::string& title) {
    std::vector<Problem> out;
    Collector c{out, 0, "", "calendar " + Quote(name)};
    if (Length8Bit(title) > MaxTextLength)
        c.Add("title", title, true, "is too long",
              "at most " + std::to_string(MaxTextLength) + " characters");
    if (HasControlUtf8(title))
        c.Add("title", title, true, "holds a control character", kNoControls);
    return out;
}

std::vector<Problem> CheckMessageFile(const Event& e, const std::string& programFolder,
                                      const Event* stored) {
    std::vector<Problem> out;
    const auto& m = e.Do.Message;
    if (!m || m->Content != MessageContent::File || m->Text.empty())
        return out;
    if (stored && stored->Do.Message && stored->Do.Message->Content == MessageContent::File &&
        stored->Do.Message->Text == m->Text)
        return out;
    const std::string folder = MessageFolderOf(programFolder);
    bool inside = m->Text.size() > folder.size() && m->Text.compare(0, folder.size(), folder) == 0;
    // Each part after the folder names something: no "", "." or "..".
    for (size_t pos = folder.size(); inside && pos <= m->Text.size();) {
        const size_t end = std::min(m->Text.find('/', pos), m->Text.size());
        const std::string part = m->Text.substr(pos, end - pos);
        inside = !part.empty() && part != "." && part != "..";
        pos = end + 1;
    }
    if (!inside) {
        Collector c{out, e.Number, e.Title, EventName(e.Number, e.Title)};
        c.Add("message.file", m->Text, true, "is not a file of the message folder",
              "an absolute path in " + folder + " without \".\", \"..\" or empty parts");
    }
    return out;
}

std::vector<Problem> CheckRow(const Row& row, int rowPosition) {
    std::vector<Problem> out;
    const auto numberIt = row.find("Number");
    const bool hasNumber = numberIt != row.end() && !numberIt->second.IsNull();
    RowCollector c{out, row, hasNumber, rowPosition};
    const std::string fails = "; the engine's load fails";
    if (!hasNumber)
        c.Add("Number", "", false, "is empty" + fails, "1 to 32767");
    // The row's columns and the loaded columns, both in name order, walked side by side.
    static const std::vector<const LoadedColumn*> byName = [] {
        size_t count = 0;
        const LoadedColumn* columns = LoadedColumns(count);
        std::vector<const LoadedColumn*> v;
        for (size_t i = 0; i < count; ++i)
            v.push_back(&columns[i]);
        std::sort(v.begin(), v.end(), [](const LoadedColumn* a, const LoadedColumn* b) {
            return ColumnNameLess{}(a->Name, b->Name);
        });
        return v;
    }();
    auto it = row.begin();
    for (const LoadedColumn* rule : byName) {
        const LoadedColumn& col = *rule;
        const std::string colName = col.Name;
        while (it != row.end() && ColumnNameLess{}(it->first, colName))
            ++it;
        if (it == row.end() || ColumnNameLess{}(colName, it->first) || it->second.IsNull())
            continue;
        const DbValue& v = it->second;
        if (col.Kind == FieldKind::Text) {
            if (std::string(col.Name) == "Time") {
                const std::string t = Cp1252ToUtf8(v.AsText());
                if (t == "24:00:00" || IsTimeOfDay(t))
                    continue;
                bool readable = true;
                try {
                    ParseTimeOfDay(v.AsText());
                } catch (...) {
                    readable = false;
                }
                if (!readable)
                    c.Add("Time", t, true, "is not a time the engine can read",
                          "hh:mm:ss, 00:00:00 to 23:59:59, or 24:00:00 for no time");
                else
                    c.Add("Time", t, true, "does not sort as a time (times are ordered as text)",
                          "hh:mm:ss with two digits each");
            }
            continue;
        }
        int64_t n = 0;
        try {
            n = v.AsNumber();
        } catch (...) {
            c.Add(col.Name, Cp1252ToUtf8(v.AsText()), true, "is not a number" + fails,
                  "a whole number");
            continue;
        }
        int64_t lo = INT16_MIN, hi = INT16_MAX;
        if (col.Kind == FieldKind::Int32) {
            lo = INT32_MIN;
            hi = INT32_MAX;
        } else if (col.Kind == FieldKind::Byte) {
            lo = 0;
            hi = 255;
        }
        if (n < lo || n > hi) {
            c.Add(col.Name, std::to_string(n), false, "does not fit" + fails,
                  std::to_string(lo) + " to " + std::to_string(hi));
            continue;
        }
        const std::string name = col.Name;
        if (name == "Number") {
            c.Range("Number", n, 1, 32767, "is not an event number");
        } else if (name == "Day") {
            if (n < 0 || n > 7)
                c.Add("Day", std::to_string(n), false, "is not a day",
                      "0 Monday to 6 Sunday, 7 no day");
        } else if (IsEventColumn(name) && col.Limit < INT16_MAX && (n > col.Limit || n < 0)) {
            const std::string loads =
                n > col.Limit ? "; the engine loads it as " + std::to_string(col.Replacement) : "";
            c.Add(name, std::to_string(n), false, "is not a code of this column" + loads,
                  "0 to " + std::to_string(col.Limit));
        }
    }
    return out;
}

std::vector<Problem> CheckNumbers(const std::vector<Row>& rows) {
    return CheckNumbersOfGroups(rows, GroupPositions(rows));
}

std::vector<Problem> CheckNumbersOfGroups(const std::vector<Row>& rows,
                                          const std::vector<std::vector<size_t>>& groups) {
    std::vector<Problem> out;
    // Positions of the rows (from 1), by number, to name them.
    std::vector<std::vector<int>> positions;
    for (const std::vector<size_t>& group : groups) {
        const auto it = rows[group.front()].find("Number");
        if (group.size() < 2 || it == rows[group.front()].end() || it->second.IsNull())
            continue;
        positions.emplace_back();
        for (size_t i : group)
            positions.back().push_back(static_cast<int>(i + 1));
    }
    for (const std::vector<int>& pos : positions) {
        if (pos.size() < 2)
            continue;
        const Row& first = rows[static_cast<size_t>(pos[0] - 1)];
        Event a = EventFromRow(first);
        a.Days.clear();
        std::map<int, int> dayRow;
        dayRow[LoadedNumber(first, "Day")] = pos[0];
        Collector c{out, a.Number, a.Title, EventName(a.Number, a.Title), pos[0]};
        for (size_t k = 1; k < pos.size(); ++k) {
            const Row& r = rows[static_cast<size_t>(pos[k] - 1)];
            Event b = EventFromRow(r);
            b.Days.clear();
            c.Row = pos[k];
            const int day = LoadedNumber(r, "Day");
            if (a != b) {
                c.Add("number", std::to_string(a.Number), false,
                      "is used by two events (rows " + std::to_string(pos[0]) + " and " +
                          std::to_string(pos[k]) + " differ)",
                      "one number per event; the rows of one event differ only in Day");
            } else if (const auto seen = dayRow.find(day); seen != dayRow.end()) {
                c.Add("days", DayShortName(day), false,
                      "has two rows (rows " + std::to_string(seen->second) + " and " +
                          std::to_string(pos[k]) + ")",
                      "one row per day");
            }
            dayRow.emplace(day, pos[k]);
        }
    }
    return out;
}

std::vector<Problem> CheckRows(const std::vector<Row>& rows) {
    std::vector<Problem> out;
    if (rows.size() > MaxEventRows) {
        Problem p;
        p.Field = "rows";
        p.Value = std::to_string(rows.size());
        p.Allowed = "at most 32767 rows";
        p.Message =
            "the table has " + p.Value + " rows; the engine's load fails (" + p.Allowed + ")";
        out.push_back(p);
    }
    std::set<std::pair<int, std::string>> reported;  // (number, event field) seen on rows
    for (size_t i = 0; i < rows.size(); ++i)
        for (Problem& p : CheckRow(rows[i], static_cast<int>(i + 1))) {
            reported.emplace(p.Number, EventFieldOfColumn(p.Field));
            out.push_back(std::move(p));
        }
    const std::vector<std::vector<size_t>> groups = GroupPositions(rows);
    for (Problem& p : CheckNumbersOfGroups(rows, groups))
        out.push_back(std::move(p));
    for (const std::vector<size_t>& group : groups) {
        const Row& front = rows[group.front()];
        const auto it = front.find("Number");
        if (it == front.end() || it->second.IsNull())
            continue;
        std::vector<const Row*> members;
        for (size_t i : group)
            members.push_back(&rows[i]);
        for (Problem& p : CheckEvent(EventFromRows(members)))
            if (!reported.count({p.Number, p.Field}))
                out.push_back(std::move(p));
    }
    return out;
}

std::vector<Problem> CheckSetting(const std::string& name, const std::string& value) {
    std::vector<Problem> out;
    Collector c{out, 0, "", "setting " + name};
    auto port = [&](int64_t lo) {
        int64_t n = -1;
        try {
            n = TextToLong(value);
        } catch (...) {
        }
        if (n < lo || n > 65535)
            c.Add(name, value, true, "is not a TCP port", std::to_string(lo) + " to 65535");
    };
    const auto is = [&](const char* n) {
        return !ColumnNameLess{}(name, n) && !ColumnNameLess{}(n, name);
    };
    if (is("IPAddr") || is("SlaveIPAddr")) {
        if (!IsDottedAddress(value))
            c.Add(name, value, true, "is not an IPv4 address",
                  "four numbers 0 to 255 with dots; 0.0.0.0 for none");
    } else if (is("IPPort") || is("SlaveIPPort")) {
        port(1);
    } else if (is("TaskViewDB")) {
        if (Length8Bit(value) > 255)
            c.Add(name, value, true, "is too long", "at most 255 characters");
    } else if (is("StartMin")) {
        if (value != "0" && value != "-1")
            c.Add(name, value, true, "is not a switch", "0 off, -1 on");
    } else if (const settings::Known* k = settings::FindKnown(name)) {
        int64_t n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
            n < k->Min || n > k->Max)
            c.Add(name, value, true, std::string("is not a number of ") + k->Unit,
                  std::to_string(k->Min) + " to " + std::to_string(k->Max));
    }
    return out;
}

std::string FormatProblems(const std::vector<Problem>& problems) {
    std::string out;
    for (const Problem& p : problems)
        out += p.Message + "\n";
    return out;
}

}  // namespace qtx::schedule
