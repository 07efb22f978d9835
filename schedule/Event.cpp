#include "schedule/Event.h"

#include <algorithm>
#include <cctype>

namespace qtx::schedule {

namespace {

const char* const DayNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string WithoutBlanks(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t')
            out += c;
    return out;
}

template <class E, size_t N>
std::optional<E> ParseName(const std::string& name, const char* const (&names)[N]) {
    const std::string n = Lower(name);
    for (size_t i = 0; i < N; ++i)
        if (n == names[i])
            return static_cast<E>(i);
    return std::nullopt;
}

const char* const MarkingNames[] = {"active", "inactive", "skip-next", "one-time"};
const char* const CrosspointNames[] = {"take", "sum-on", "sum-off"};
const char* const RelayNames[] = {"latch", "release", "pulse"};
const char* const GainNames[] = {"source", "destination"};
const char* const MessageToNames[] = {"ip", "serial", "switcher"};
const int BaudRates[] = {2400, 9600, 14400, 19200, 28800, 57600, 115200, 128000};

// A text in double quotes for a line, with a quote inside doubled.
std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

const char* DayShortName(int day) {
    return day >= 0 && day <= 6 ? DayNames[day] : "none";
}

std::optional<int> ParseDayName(const std::string& name) {
    return ParseName<int>(name, DayNames);
}

std::optional<std::vector<int>> ParseDays(const std::string& text) {
    const std::string t = Lower(WithoutBlanks(text));
    if (t == "daily")
        return std::vector<int>{0, 1, 2, 3, 4, 5, 6};
    if (t == "none")
        return std::vector<int>{};
    if (t.empty())
        return std::nullopt;
    bool in[7] = {};
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t comma = t.find(',', pos);
        if (comma == std::string::npos)
            comma = t.size();
        const std::string part = t.substr(pos, comma - pos);
        const size_t dash = part.find('-');
        if (dash == std::string::npos) {
            const auto d = ParseDayName(part);
            if (!d)
                return std::nullopt;
            in[*d] = true;
        } else {
            const auto a = ParseDayName(part.substr(0, dash));
            const auto b = ParseDayName(part.substr(dash + 1));
            if (!a || !b)
                return std::nullopt;
            for (int d = *a;; d = (d + 1) % 7) {
                in[d] = true;
                if (d == *b)
                    break;
            }
        }
        pos = comma + 1;
    }
    std::vector<int> days;
    for (int d = 0; d < 7; ++d)
        if (in[d])
            days.push_back(d);
    return days;
}

std::string FormatDays(const std::vector<int>& days) {
    bool in[7] = {};
    std::vector<int> odd;  // values outside 0..6, shown as they are
    for (int d : days) {
        if (d >= 0 && d <= 6)
            in[d] = true;
        else
            odd.push_back(d);
    }
    std::string out;
    int count = 0;
    for (bool b : in)
        count += b ? 1 : 0;
    if (count == 7) {
        out = "daily";
    } else {
        for (int d = 0; d < 7;) {
            if (!in[d]) {
                ++d;
                continue;
            }
            int e = d;
            while (e + 1 < 7 && in[e + 1])
                ++e;
            if (!out.empty())
                out += ',';
            out += DayNames[d];
            if (e >= d + 2)
                out += std::string("-") + DayNames[e];
            else if (e == d + 1)
                out += std::string(",") + DayNames[e];
            d = e + 1;
        }
    }
    for (int d : odd) {
        if (!out.empty())
            out += ',';
        out.append("day ").append(std::to_string(d));
    }
    return out.empty() ? "none" : out;
}

const char* MarkingName(Marking m) {
    return MarkingNames[static_cast<int>(m)];
}
std::optional<Marking> ParseMarking(const std::string& name) {
    return ParseName<Marking>(name, MarkingNames);
}
const char* CrosspointKindName(CrosspointKind k) {
    return CrosspointNames[static_cast<int>(k)];
}
std::optional<CrosspointKind> ParseCrosspointKind(const std::string& name) {
    return ParseName<CrosspointKind>(name, CrosspointNames);
}
const char* RelayModeName(RelayMode m) {
    return RelayNames[static_cast<int>(m)];
}
std::optional<RelayMode> ParseRelayMode(const std::string& name) {
    return ParseName<RelayMode>(name, RelayNames);
}
const char* GainTargetName(GainTarget t) {
    return GainNames[static_cast<int>(t)];
}
std::optional<GainTarget> ParseGainTarget(const std::string& name) {
    return ParseName<GainTarget>(name, GainNames);
}
const char* MessageToName(MessageTo t) {
    return MessageToNames[static_cast<int>(t)];
}
std::optional<MessageTo> ParseMessageTo(const std::string& name) {
    return ParseName<MessageTo>(name, MessageToNames);
}

std::optional<std::string> BaudOfCode(int code) {
    if (code < 0 || code > 7)
        return std::nullopt;
    return std::to_string(BaudRates[code]);
}

std::optional<int> CodeOfBaud(int baud) {
    for (int i = 0; i < 8; ++i)
        if (BaudRates[i] == baud)
            return i;
    return std::nullopt;
}

std::string DescribeActions(const Actions& a) {
    std::vector<std::string> parts;
    if (a.Crosspoint)
        parts.push_back(std::string(CrosspointKindName(a.Crosspoint->Kind)) + " " +
                        std::to_string(a.Crosspoint->Source) + "->" +
                        std::to_string(a.Crosspoint->Destination));
    if (a.Salvo)
        parts.push_back("salvo " + std::to_string(a.Salvo->Salvo));
    if (a.Relay)
        parts.push_back(std::string("relay ") + RelayModeName(a.Relay->Mode) + " " +
                        std::to_string(a.Relay->Relay));
    if (a.Gain)
        parts.push_back(std::string("gain ") + GainTargetName(a.Gain->Target) + " " +
                        std::to_string(a.Gain->Channel) + " = " + std::to_string(a.Gain->Gain));
    if (a.Message) {
        const MessageAction& m = *a.Message;
        std::string s = "message ";
        switch (m.To) {
            case MessageTo::Ip:
                s += "ip " + m.Address + ":" + std::to_string(m.Port);
                break;
            case MessageTo::Serial: {
                const auto baud = BaudOfCode(m.Baud);
                s += "serial " + std::to_string(m.Port) + " at " +
                     (baud ? *baud : "code " + std::to_string(m.Baud));
                break;
            }
            case MessageTo::Switcher:
                s += "switcher " + std::to_string(m.Frame) + "/" + std::to_string(m.Slot) + "/" +
                     std::to_string(m.Port);
                break;
        }
        s += m.Content == MessageContent::File ? " file " + Quoted(m.Text) : " " + Quoted(m.Text);
        parts.push_back(s);
    }
    if (parts.empty())
        return "no action";
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : ", ") + p;
    return out;
}

std::string DescribeCondition(const std::optional<Condition>& c) {
    if (!c)
        return "";
    return "when " + std::to_string(c->Source) + "->" + std::to_string(c->Destination) + " is " +
           (c->WhenOn ? "on" : "off");
}

std::string DescribeTime(const std::optional<std::string>& time) {
    return time ? *time : "--:--:--";
}

std::string DescribeEvent(const Event& e) {
    std::string line = std::to_string(e.Number) + "  " + FormatDays(e.Days) + "  " +
                       DescribeTime(e.Time) + "  " + MarkingName(e.Mark) + "  " + Quoted(e.Title);
    if (e.When)
        line += "  " + DescribeCondition(e.When);
    line += "  " + DescribeActions(e.Do);
    if (!e.Dates.Empty())
        line += "  " + DescribeDateRules(e.Dates);
    return line;
}

}  // namespace qtx::schedule
