#include "eventdb/CsvEvents.h"

#include <strings.h>

#include <algorithm>
#include <map>

#include "eventdb/EventDbOptions.h"

namespace qtx::csv {

using namespace schedule;

namespace {

const char* const Columns[] = {"number", "title", "days", "at", "marking", "when", "crosspoint",
                               "salvo", "relay", "gain", "message", "text", "file",
                               // the date rules, at the end: older files lack them
                               "from", "until", "every_weeks", "week_of", "except", "only",
                               "latest"};

std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : ",") + n;
    return out;
}

std::string Str(int n) {
    return std::to_string(n);
}

}  // namespace

Record EventHeader() {
    Record r;
    for (const char* c : Columns)
        r.emplace_back(c);
    return r;
}

Record EventRecord(const Event& e) {
    Record r(std::size(Columns));
    r[0] = Str(e.Number);
    r[1] = e.Title;
    r[2] = FormatDays(e.Days);
    r[3] = e.Time ? *e.Time : "none";
    r[4] = MarkingName(e.Mark);
    if (e.When)
        r[5] = std::string(e.When->WhenOn ? "on:" : "off:") + Str(e.When->Source) + ":" +
               Str(e.When->Destination);
    if (const auto& x = e.Do.Crosspoint)
        r[6] = std::string(CrosspointKindName(x->Kind)) + ":" + Str(x->Source) + ":" +
               Str(x->Destination);
    if (e.Do.Salvo)
        r[7] = Str(e.Do.Salvo->Salvo);
    if (e.Do.Relay)
        r[8] = std::string(RelayModeName(e.Do.Relay->Mode)) + ":" + Str(e.Do.Relay->Relay);
    if (const auto& g = e.Do.Gain)
        r[9] = std::string(GainTargetName(g->Target)) + ":" + Str(g->Channel) + ":" + Str(g->Gain);
    if (const auto& m = e.Do.Message) {
        std::string to = std::string(MessageToName(m->To)) + ":";
        switch (m->To) {
            case MessageTo::Ip:
                to += m->Address + ":" + Str(m->Port);
                break;
            case MessageTo::Serial:
                to += Str(m->Port) + ":" + Str(m->Baud);
                break;
            case MessageTo::Switcher:
                to += Str(m->Frame) + ":" + Str(m->Slot) + ":" + Str(m->Port);
                break;
        }
        r[10] = to;
        r[m->Content == MessageContent::File ? 12 : 11] = m->Text;
    }
    const DateRules& d = e.Dates;
    if (d.From)
        r[13] = *d.From;
    if (d.Until)
        r[14] = *d.Until;
    if (d.EveryWeeks)
        r[15] = Str(*d.EveryWeeks);
    if (d.WeekOf)
        r[16] = *d.WeekOf;
    if (!d.Except.empty())
        r[17] = Joined(d.Except);
    if (!d.Only.empty())
        r[18] = Joined(d.Only);
    if (d.Latest)
        r[19] = *d.Latest;
    return r;
}

bool IsEventHeader(const Record& header) {
    bool days = false;
    for (const Field& f : header) {
        if (!f)
            return false;
        std::string column = *f;
        for (char& c : column)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::find(std::begin(Columns), std::end(Columns), column) == std::end(Columns))
            return false;
        days = days || column == "days";
    }
    return days;
}

Event EventFromRecord(const Record& header, const Record& record) {
    std::map<std::string, std::string> cell;  // column (lower case) -> value, empty cells left out
    for (size_t i = 0; i < header.size() && i < record.size(); ++i) {
        if (!header[i])
            continue;
        std::string column = *header[i];
        for (char& c : column)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::find(std::begin(Columns), std::end(Columns), column) == std::end(Columns))
            throw OptionError("column \"" + *header[i] + "\" is not a column of the event form");
        if (record[i] && (!record[i]->empty() || column == "title" || column == "text"))
            cell[column] = *record[i];
    }
    std::vector<std::string> options;
    auto option = [&](const std::string& name, const std::string& value) {
        options.push_back(name);
        options.push_back(value);
    };
    for (const char* plain : {"number", "title", "days", "at", "salvo", "relay", "gain", "message",
                              "file", "from", "until", "except", "only", "latest"})
        if (cell.count(plain))
            option(std::string("--") + plain, cell[plain]);
    if (cell.count("every_weeks"))
        option("--every-weeks", cell["every_weeks"]);
    if (cell.count("week_of"))
        option("--week-of", cell["week_of"]);
    // A message's text, empty included, unless it sends a file.
    if (cell.count("text") &&
        (!cell["text"].empty() || (cell.count("message") && !cell.count("file"))))
        option("--text", cell["text"]);
    if (cell.count("marking")) {
        const std::string& v = cell["marking"];
        const auto m = ParseMarking(v);
        if (!m)
            throw OptionError("marking \"" + v +
                              "\": expected active, inactive, skip-next or one-time");
        static const char* const flags[] = {"--active", "--inactive", "--skip-next", "--once"};
        options.push_back(flags[static_cast<int>(*m)]);
    }
    if (cell.count("when")) {
        const std::string& v = cell["when"];
        const size_t colon = v.find(':');
        const std::string kind = v.substr(0, colon);
        if (colon == std::string::npos || (kind != "on" && kind != "off"))
            throw OptionError("when \"" + v + "\": expected on:S:D or off:S:D");
        option("--when-" + kind, v.substr(colon + 1));
    }
    if (cell.count("crosspoint")) {
        const std::string& v = cell["crosspoint"];
        const size_t colon = v.find(':');
        const std::string kind = v.substr(0, colon);
        if (colon == std::string::npos || !ParseCrosspointKind(kind))
            throw OptionError("crosspoint \"" + v +
                              "\": expected take:S:D, sum-on:S:D or sum-off:S:D");
        option("--" + kind, v.substr(colon + 1));
    }
    Event e;
    ApplyEventOptions(options, e, true);
    return e;
}

}  // namespace qtx::csv
