#include "schedule/Rows.h"

#include <strings.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <unordered_map>

#include "common/Checked.h"
#include "common/Text.h"
#include "schedule/LoadedColumns.h"

namespace qtx::schedule {

namespace {

const char* const EventColumns[] = {
    "Number",     "Day",      "Time",       "Title",     "Active",   "Condition", "ReqSource",
    "ReqDest",    "xcontrol", "SourceChan", "DestChan",  "scontrol", "Salvo",     "rcontrol",
    "Relay",      "vcontrol", "VChan",      "Gain",      "mcontrol", "mtype",     "Message",
    "MIPAddress", "MIPPort",  "MCommPort",  "MBaudRate", "MFrame",   "MSlot",     "MPort",
};

// The Time the engine's load gives a record whose Time is Null.
constexpr char kNullTime[] = "24:00:00";

// A text column's value as the engine's load gives it (value nullptr: the column is Null).
std::string TextOfValue(const DbValue* value, const char* nullText) {
    if (value == nullptr || value->IsNull())
        return nullText;
    try {
        return Cp1252ToUtf8(value->AsText());
    } catch (...) {
        return nullText;
    }
}

bool IsNullColumn(const Row& row, const char* column) {
    const auto it = row.find(column);
    return it == row.end() || it->second.IsNull();
}

// The parts of an event that are written together.
enum class Part { Title, Time, Marking, Condition, Crosspoint, Salvo, Relay, Gain, Message };
constexpr Part AllParts[] = {Part::Title,     Part::Time,       Part::Marking,
                             Part::Condition, Part::Crosspoint, Part::Salvo,
                             Part::Relay,     Part::Gain,       Part::Message};

bool SamePart(Part p, const Event& a, const Event& b) {
    switch (p) {
        case Part::Title:
            return a.Title == b.Title;
        case Part::Time:
            return a.Time == b.Time;
        case Part::Marking:
            return a.Mark == b.Mark;
        case Part::Condition:
            return a.When == b.When;
        case Part::Crosspoint:
            return a.Do.Crosspoint == b.Do.Crosspoint;
        case Part::Salvo:
            return a.Do.Salvo == b.Do.Salvo;
        case Part::Relay:
            return a.Do.Relay == b.Do.Relay;
        case Part::Gain:
            return a.Do.Gain == b.Do.Gain;
        case Part::Message:
            return a.Do.Message == b.Do.Message;
    }
    return false;
}

DbValue Num(int64_t v) {
    return DbValue(v);
}

void WritePart(Part p, const Event& e, Row& r) {
    switch (p) {
        case Part::Title:
            r["Title"] = DbValue(Utf8ToCp1252(e.Title));
            break;
        case Part::Time:
            r["Time"] = DbValue(e.Time ? Utf8ToCp1252(*e.Time) : std::string("24:00:00"));
            break;
        case Part::Marking: {
            static const int codes[] = {1, 0, 2, 3};
            r["Active"] = Num(codes[static_cast<int>(e.Mark)]);
            break;
        }
        case Part::Condition:
            r["Condition"] = Num(e.When ? (e.When->WhenOn ? 1 : 2) : 0);
            r["ReqSource"] = Num(e.When ? e.When->Source : 0);
            r["ReqDest"] = Num(e.When ? e.When->Destination : 0);
            break;
        case Part::Crosspoint: {
            const auto& x = e.Do.Crosspoint;
            r["xcontrol"] = Num(x ? static_cast<int>(x->Kind) + 1 : 0);
            r["SourceChan"] = Num(x ? x->Source : 0);
            r["DestChan"] = Num(x ? x->Destination : 0);
            break;
        }
        case Part::Salvo:
            r["scontrol"] = Num(e.Do.Salvo ? 1 : 0);
            r["Salvo"] = Num(e.Do.Salvo ? e.Do.Salvo->Salvo : 0);
            break;
        case Part::Relay:
            r["rcontrol"] = Num(e.Do.Relay ? static_cast<int>(e.Do.Relay->Mode) + 1 : 0);
            r["Relay"] = Num(e.Do.Relay ? e.Do.Relay->Relay : 0);
            break;
        case Part::Gain: {
            const auto& g = e.Do.Gain;
            r["vcontrol"] = Num(g ? static_cast<int>(g->Target) + 1 : 0);
            r["VChan"] = Num(g ? g->Channel : 0);
            r["Gain"] = Num(g ? g->Gain : 0);
            break;
        }
        case Part::Message: {
            const auto& m = e.Do.Message;
            if (!m) {
                r["mcontrol"] = Num(0);
                r["mtype"] = Num(0);
                break;
            }
            r["mcontrol"] = Num(m->Content == MessageContent::File ? 3 : 1);
            r["mtype"] = Num(static_cast<int>(m->To) + 1);
            r["Message"] = DbValue(Utf8ToCp1252(m->Text));
            switch (m->To) {
                case MessageTo::Ip:
                    r["MIPAddress"] = DbValue(Utf8ToCp1252(m->Address));
                    r["MIPPort"] = Num(m->Port);
                    break;
                case MessageTo::Serial:
                    r["MCommPort"] = Num(int64_t{m->Port} - 1);
                    r["MBaudRate"] = Num(m->Baud);
                    break;
                case MessageTo::Switcher:
                    r["MFrame"] = Num(m->Frame);
                    r["MSlot"] = Num(m->Slot);
                    r["MPort"] = Num(m->Port);
                    break;
            }
            break;
        }
    }
}

}  // namespace

bool ColumnNameLess::operator()(const std::string& a, const std::string& b) const {
    // Shorter names first, then letter by letter without regard to case (ASCII: column names are
    // plain identifiers). The length decides most comparisons at once, and this runs for every
    // lookup in a row.
    if (a.size() != b.size())
        return a.size() < b.size();
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return x < y;
    }
    return false;
}

bool IsEventColumn(const std::string& column) {
    static const std::set<std::string, ColumnNameLess> names(std::begin(EventColumns),
                                                             std::end(EventColumns));
    return names.count(column) != 0;
}

namespace {

// LoadedNumber with the column's load rule already found (nullptr: a column the engine does
// not load).
int NumberOfValue(const DbValue* value, const LoadedColumn* rule) {
    const int64_t nullValue = rule && rule->NullValue >= 0 ? rule->NullValue : 0;
    if (value == nullptr || value->IsNull())
        return static_cast<int>(nullValue);
    try {
        const int64_t v = value->AsNumber();
        if (!rule)
            return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
        switch (rule->Kind) {
            case FieldKind::Int16:
                ToInt16(v);
                break;
            case FieldKind::Int32:
                ToInt32(v);
                break;
            case FieldKind::Byte:
                ToByte(v);
                break;
            case FieldKind::Text:
                break;
        }
        return static_cast<int>(v > rule->Limit ? rule->Replacement : v);
    } catch (...) {
        return 0;
    }
}

int NumberByRule(const Row& row, const std::string& column, const LoadedColumn* rule) {
    const auto it = row.find(column);
    return NumberOfValue(it == row.end() ? nullptr : &it->second, rule);
}

}  // namespace

int LoadedNumber(const Row& row, const std::string& column) {
    return NumberByRule(row, column, FindLoadedColumn(column));
}

Event EventFromRows(const std::vector<Row>& rows) {
    std::vector<const Row*> pointers;
    pointers.reserve(rows.size());
    for (const Row& r : rows)
        pointers.push_back(&r);
    return EventFromRows(pointers);
}

Event EventFromRow(const Row& row) {
    return EventFromRows(std::vector<const Row*>{&row});
}

LoadedFields LoadedFieldsOf(const Row& r) {
    // The number fields in this order, then the texts; their load rules are looked up once.
    static const char* const names[] = {
        "Number",     "Day",      "Active",   "Condition", "ReqSource", "ReqDest",   "xcontrol",
        "SourceChan", "DestChan", "scontrol", "Salvo",     "rcontrol",  "Relay",     "vcontrol",
        "VChan",      "Gain",     "mcontrol", "mtype",     "MIPPort",   "MCommPort", "MBaudRate",
        "MFrame",     "MSlot",    "MPort",    "Title",     "Time",      "Message",   "MIPAddress"};
    constexpr size_t numbers = 24;
    struct Wanted {
        std::string Name;
        size_t At;  // place in names
    };
    // The names in the row's own order, so one walk of the row finds them all.
    static const std::vector<Wanted> wanted = [] {
        std::vector<Wanted> w;
        for (size_t i = 0; i < std::size(names); ++i)
            w.push_back({names[i], i});
        std::sort(w.begin(), w.end(), [](const Wanted& a, const Wanted& b) {
            return ColumnNameLess{}(a.Name, b.Name);
        });
        return w;
    }();
    static const std::vector<const LoadedColumn*> rules = [] {
        std::vector<const LoadedColumn*> c;
        for (size_t i = 0; i < numbers; ++i)
            c.push_back(FindLoadedColumn(names[i]));
        return c;
    }();
    const DbValue* found[std::size(names)] = {};
    auto it = r.begin();
    for (const Wanted& w : wanted) {
        while (it != r.end() && ColumnNameLess{}(it->first, w.Name))
            ++it;
        if (it == r.end())
            break;
        if (!ColumnNameLess{}(w.Name, it->first))
            found[w.At] = &it->second;
    }
    int v[numbers];
    for (size_t i = 0; i < numbers; ++i)
        v[i] = NumberOfValue(found[i], rules[i]);
    LoadedFields f;
    int* const targets[] = {&f.Number,    &f.Day,      &f.Active,     &f.Condition, &f.ReqSource,
                            &f.ReqDest,   &f.xcontrol, &f.SourceChan, &f.DestChan,  &f.scontrol,
                            &f.Salvo,     &f.rcontrol, &f.Relay,      &f.vcontrol,  &f.VChan,
                            &f.Gain,      &f.mcontrol, &f.mtype,      &f.MIPPort,   &f.MCommPort,
                            &f.MBaudRate, &f.MFrame,   &f.MSlot,      &f.MPort};
    static_assert(std::size(targets) == numbers);
    for (size_t i = 0; i < numbers; ++i)
        *targets[i] = v[i];
    f.Title = TextOfValue(found[numbers], "None");
    f.Time = TextOfValue(found[numbers + 1], kNullTime);
    f.Message = TextOfValue(found[numbers + 2], " ");
    f.MIPAddress = TextOfValue(found[numbers + 3], "0.0.0.0");
    return f;
}

std::string LoadedTime(const Row& row) {
    const auto it = row.find("Time");
    return TextOfValue(it == row.end() ? nullptr : &it->second, kNullTime);
}

Event EventFromRows(const std::vector<const Row*>& rows) {
    if (rows.empty())
        return Event{};
    std::vector<int> days;
    for (const Row* x : rows)
        days.push_back(LoadedNumber(*x, "Day"));
    return EventFromLoaded(LoadedFieldsOf(*rows.front()), days);
}

LoadedFields LoadedFieldsOf(const AutomationEvent& a) {
    LoadedFields f;
    f.Number = a.Number;
    f.Day = a.Day;
    f.Active = a.Active;
    f.Condition = a.Condition;
    f.ReqSource = a.ReqSource;
    f.ReqDest = a.ReqDest;
    f.xcontrol = a.xcontrol;
    f.SourceChan = a.SourceChan;
    f.DestChan = a.DestChan;
    f.scontrol = a.scontrol;
    f.Salvo = a.Salvo;
    f.rcontrol = a.rcontrol;
    f.Relay = a.Relay;
    f.vcontrol = a.vcontrol;
    f.VChan = a.VChan;
    f.Gain = a.Gain;
    f.mcontrol = a.mcontrol;
    f.mtype = a.mtype;
    f.MIPPort = a.MIPPort;
    f.MCommPort = a.MCommPort;
    f.MBaudRate = a.MBaudRate;
    f.MFrame = a.MFrame;
    f.MSlot = a.MSlot;
    f.MPort = a.MPort;
    f.Title = Cp1252ToUtf8(a.Title);
    f.Time = Cp1252ToUtf8(a.Time);
    f.Message = Cp1252ToUtf8(a.Message);
    f.MIPAddress = Cp1252ToUtf8(a.MIPAddress);
    return f;
}

Event EventFromLoaded(const LoadedFields& r, const std::vector<int>& days) {
    Event e;
    e.Number = r.Number;
    e.Title = r.Title;
    if (r.Time != "24:00:00")
        e.Time = r.Time;
    for (const int d : days)
        if (d != NoDay && std::find(e.Days.begin(), e.Days.end(), d) == e.Days.end())
            e.Days.push_back(d);
    std::sort(e.Days.begin(), e.Days.end());
    switch (r.Active) {
        case 0:
            e.Mark = Marking::Inactive;
            break;
        case 2:
            e.Mark = Marking::SkipNext;
            break;
        case 3:
            e.Mark = Marking::OneTime;
            break;
        default:
            e.Mark = Marking::Active;
            break;
    }
    if (r.Condition == 1 || r.Condition == 2)
        e.When = Condition{r.Condition == 1, r.ReqSource, r.ReqDest};
    if (r.xcontrol >= 1 && r.xcontrol <= 3)
        e.Do.Crosspoint =
            CrosspointAction{static_cast<CrosspointKind>(r.xcontrol - 1), r.SourceChan, r.DestChan};
    if (r.scontrol != 0)
        e.Do.Salvo = SalvoAction{r.Salvo};
    if (r.rcontrol >= 1 && r.rcontrol <= 3)
        e.Do.Relay = RelayAction{static_cast<RelayMode>(r.rcontrol - 1), r.Relay};
    if (r.vcontrol >= 1 && r.vcontrol <= 2)
        e.Do.Gain = GainAction{static_cast<GainTarget>(r.vcontrol - 1), r.VChan, r.Gain};
    if (r.mcontrol != 0 && r.mtype >= 1 && r.mtype <= 3) {
        MessageAction m;
        m.To = static_cast<MessageTo>(r.mtype - 1);
        m.Content = r.mcontrol == 3 ? MessageContent::File : MessageContent::Text;
        // Any content code but 1 and 3 sends an empty text.
        m.Text = r.mcontrol == 1 || r.mcontrol == 3 ? r.Message : "";
        switch (m.To) {
            case MessageTo::Ip:
                m.Address = r.MIPAddress;
                m.Port = r.MIPPort;
                break;
            case MessageTo::Serial:
                m.Port = r.MCommPort + 1;
                m.Baud = r.MBaudRate;
                break;
            case MessageTo::Switcher:
                m.Frame = r.MFrame;
                m.Slot = r.MSlot;
                m.Port = r.MPort;
                break;
        }
        e.Do.Message = m;
    }
    return e;
}

std::vector<std::vector<size_t>> GroupPositions(const std::vector<Row>& rows) {
    static const std::string numberColumn = "Number";
    std::vector<std::vector<size_t>> groups;
    // By the stored value: numbers by value, anything else by its text, Null on its own.
    std::unordered_map<int64_t, size_t> byNumber;
    std::map<std::string, size_t> byOther;
    byNumber.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto it = rows[i].find(numberColumn);
        const bool isNull = it == rows[i].end() || it->second.IsNull();
        std::optional<int64_t> number;
        if (!isNull) {
            try {
                number = it->second.AsNumber();
            } catch (...) {
            }
        }
        size_t slot = groups.size();
        if (number)
            slot = byNumber.emplace(*number, groups.size()).first->second;
        else
            slot = byOther
                       .emplace(isNull ? std::string("null") : "text:" + it->second.AsText(),
                                groups.size())
                       .first->second;
        if (slot == groups.size())
            groups.emplace_back();
        groups[slot].push_back(i);
    }
    return groups;
}

std::vector<std::vector<Row>> GroupByNumber(const std::vector<Row>& rows) {
    std::vector<std::vector<Row>> groups;
    for (const std::vector<size_t>& g : GroupPositions(rows)) {
        groups.emplace_back();
        for (size_t i : g)
            groups.back().push_back(rows[i]);
    }
    return groups;
}

std::vector<PlannedRow> PlanRows(const Event& e, const std::vector<Row>& present) {
    std::vector<PlannedRow> plan;
    // Writes into row r every part of e that means something else in r as it is stored.
    auto apply = [&e](Row& r, bool stored) {
        const Event was = EventFromRow(r);
        for (Part p : AllParts)
            if (!stored || !SamePart(p, e, was))
                WritePart(p, e, r);
        if (!stored || IsNullColumn(r, "Number") || LoadedNumber(r, "Number") != e.Number)
            r["Number"] = Num(e.Number);
    };
    if (!present.empty() && EventFromRows(present).Days == e.Days) {
        for (size_t i = 0; i < present.size(); ++i) {
            PlannedRow p{static_cast<int>(i), present[i]};
            apply(p.Values, true);
            plan.push_back(std::move(p));
        }
        return plan;
    }
    std::vector<int> days = e.Days;
    if (days.empty())
        days.push_back(NoDay);
    std::vector<bool> used(present.size(), false);
    for (int d : days) {
        PlannedRow p;
        for (size_t i = 0; i < present.size(); ++i)
            if (!used[i] && LoadedNumber(present[i], "Day") == d) {
                p.Present = static_cast<int>(i);
                used[i] = true;
                break;
            }
        if (p.Present >= 0)
            p.Values = present[static_cast<size_t>(p.Present)];
        else if (!present.empty())
            p.Values = present.front();
        apply(p.Values, !present.empty());
        if (p.Present < 0 || LoadedNumber(p.Values, "Day") != d)
            p.Values["Day"] = Num(d);
        plan.push_back(std::move(p));
    }
    return plan;
}

std::vector<Row> EventToRows(const Event& e, const std::vector<Row>& present) {
    std::vector<Row> rows;
    for (PlannedRow& p : PlanRows(e, present))
        rows.push_back(std::move(p.Values));
    return rows;
}

}  // namespace qtx::schedule
