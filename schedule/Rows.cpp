#include "schedule/Rows.h"

#include <strings.h>

#include <algorithm>

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

std::string LoadedText(const Row& row, const char* column, const char* nullText) {
    const auto it = row.find(column);
    if (it == row.end() || it->second.IsNull())
        return nullText;
    try {
        return Cp1252ToUtf8(it->second.AsText());
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
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool IsEventColumn(const std::string& column) {
    for (const char* c : EventColumns)
        if (strcasecmp(c, column.c_str()) == 0)
            return true;
    return false;
}

int LoadedNumber(const Row& row, const std::string& column) {
    const LoadedColumn* rule = FindLoadedColumn(column);
    const auto it = row.find(column);
    const int64_t nullValue = rule && rule->NullValue >= 0 ? rule->NullValue : 0;
    if (it == row.end() || it->second.IsNull())
        return static_cast<int>(nullValue);
    try {
        const int64_t v = it->second.AsNumber();
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

Event EventFromRows(const std::vector<Row>& rows) {
    Event e;
    if (rows.empty())
        return e;
    const Row& r = rows.front();
    e.Number = LoadedNumber(r, "Number");
    e.Title = LoadedText(r, "Title", "None");
    const std::string time = LoadedText(r, "Time", "24:00:00");
    if (time != "24:00:00")
        e.Time = time;
    for (const Row& x : rows) {
        const int d = LoadedNumber(x, "Day");
        if (d != NoDay && std::find(e.Days.begin(), e.Days.end(), d) == e.Days.end())
            e.Days.push_back(d);
    }
    std::sort(e.Days.begin(), e.Days.end());
    switch (LoadedNumber(r, "Active")) {
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
    const int condition = LoadedNumber(r, "Condition");
    if (condition == 1 || condition == 2)
        e.When =
            Condition{condition == 1, LoadedNumber(r, "ReqSource"), LoadedNumber(r, "ReqDest")};
    const int x = LoadedNumber(r, "xcontrol");
    if (x >= 1 && x <= 3)
        e.Do.Crosspoint =
            CrosspointAction{static_cast<CrosspointKind>(x - 1), LoadedNumber(r, "SourceChan"),
                             LoadedNumber(r, "DestChan")};
    if (LoadedNumber(r, "scontrol") != 0)
        e.Do.Salvo = SalvoAction{LoadedNumber(r, "Salvo")};
    const int rc = LoadedNumber(r, "rcontrol");
    if (rc >= 1 && rc <= 3)
        e.Do.Relay = RelayAction{static_cast<RelayMode>(rc - 1), LoadedNumber(r, "Relay")};
    const int vc = LoadedNumber(r, "vcontrol");
    if (vc >= 1 && vc <= 2)
        e.Do.Gain = GainAction{static_cast<GainTarget>(vc - 1), LoadedNumber(r, "VChan"),
                               LoadedNumber(r, "Gain")};
    const int mc = LoadedNumber(r, "mcontrol"), mt = LoadedNumber(r, "mtype");
    if (mc != 0 && mt >= 1 && mt <= 3) {
        MessageAction m;
        m.To = static_cast<MessageTo>(mt - 1);
        m.Content = mc == 3 ? MessageContent::File : MessageContent::Text;
        // Any content code but 1 and 3 sends an empty text.
        m.Text = mc == 1 || mc == 3 ? LoadedText(r, "Message", " ") : "";
        switch (m.To) {
            case MessageTo::Ip:
                m.Address = LoadedText(r, "MIPAddress", "0.0.0.0");
                m.Port = LoadedNumber(r, "MIPPort");
                break;
            case MessageTo::Serial:
                m.Port = LoadedNumber(r, "MCommPort") + 1;
                m.Baud = LoadedNumber(r, "MBaudRate");
                break;
            case MessageTo::Switcher:
                m.Frame = LoadedNumber(r, "MFrame");
                m.Slot = LoadedNumber(r, "MSlot");
                m.Port = LoadedNumber(r, "MPort");
                break;
        }
        e.Do.Message = m;
    }
    return e;
}

std::vector<std::vector<Row>> GroupByNumber(const std::vector<Row>& rows) {
    std::vector<std::vector<Row>> groups;
    std::map<std::string, size_t> index;  // by the stored value's text, so Null stays apart
    for (const Row& r : rows) {
        const auto it = r.find("Number");
        std::string key = "null";
        if (it != r.end() && !it->second.IsNull()) {
            try {
                key = std::to_string(it->second.AsNumber());
            } catch (...) {
                key = "text:" + it->second.AsText();
            }
        }
        auto [pos, added] = index.emplace(key, groups.size());
        if (added)
            groups.emplace_back();
        groups[pos->second].push_back(r);
    }
    return groups;
}

std::vector<PlannedRow> PlanRows(const Event& e, const std::vector<Row>& present) {
    std::vector<PlannedRow> plan;
    // Writes into row r every part of e that means something else in r as it is stored.
    auto apply = [&e](Row& r, bool stored) {
        const Event was = EventFromRows({r});
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
