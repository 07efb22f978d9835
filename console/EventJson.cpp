#include "console/EventJson.h"

#include <climits>
#include <set>

#include "console/ApiError.h"
#include "console/EventText.h"

namespace qtx::console {

using nlohmann::json;
using namespace qtx::schedule;

namespace {

[[noreturn]] void Bad(const std::string& what) {
    throw ApiError(400, "event: " + what);
}

void OnlyFields(const json& j, const std::string& where,
                std::initializer_list<const char*> allowed) {
    if (!j.is_object())
        Bad(where + " must be an object");
    for (auto& [k, v] : j.items()) {
        bool known = false;
        for (const char* a : allowed)
            known = known || k == a;
        if (!known)
            Bad("unknown field \"" + (where.empty() ? k : where + "." + k) + "\"");
    }
}

int Int(const json& j, const std::string& key, const std::string& where, bool required = true) {
    std::string name = where.empty() ? key : where + "." + key;
    if (!j.contains(key)) {
        if (required)
            Bad(name + " is missing");
        return 0;
    }
    const json& v = j.at(key);
    if (!v.is_number_integer())
        Bad(name + " must be a whole number");
    long long n = v.get<long long>();
    if (v.is_number_unsigned() &&
        v.get<unsigned long long>() > static_cast<unsigned long long>(INT_MAX))
        Bad(name + " " + v.dump() + " is out of range");
    if (n < INT_MIN || n > INT_MAX)
        Bad(name + " " + v.dump() + " is out of range");
    return static_cast<int>(n);
}

std::string Text(const json& j, const std::string& key, const std::string& where) {
    std::string name = where.empty() ? key : where + "." + key;
    if (!j.contains(key))
        Bad(name + " is missing");
    if (!j.at(key).is_string())
        Bad(name + " must be a text");
    return j.at(key).get<std::string>();
}

template <typename T>
T Word(const json& j, const std::string& key, const std::string& where,
       std::optional<T> (*parse)(const std::string&), const std::string& allowed) {
    std::string t = Text(j, key, where);
    std::optional<T> v = parse(t);
    if (!v)
        throw ApiError(422,
                       "event: " + (where.empty() ? key : where + "." + key) + " \"" + t +
                           "\" is not one of " + allowed,
                       where.empty() || where == "message"
                           ? (where.empty() ? key : where + "." + key)
                           : where);
    return *v;
}

}  // namespace

json EventToJson(const Event& e) {
    std::string text;
    AppendEventJson(text, e);
    return json::parse(text);
}

Event EventFromJson(const json& j, bool numberRequired) {
    // "what", "conditionText" and "order" are the server's words and order for the event as
    // stored: a client that sends them back gets them ignored.
    OnlyFields(j, "",
               {"number", "title", "days", "time", "marking", "condition", "actions", "version",
                "what", "conditionText", "order", "from", "until", "every_weeks", "week_of",
                "except", "only", "latest"});
    Event e;
    e.Number = Int(j, "number", "", numberRequired);
    e.Title = j.contains("title") ? Text(j, "title", "") : std::string();
    if (!j.contains("days") || !j["days"].is_array())
        Bad("days must be a list of day names (\"mon\" .. \"sun\"), [] for none");
    for (const json& d : j["days"]) {
        if (!d.is_string())
            Bad("days must hold day names (\"mon\" .. \"sun\")");
        std::optional<int> day = ParseDayName(d.get<std::string>());
        if (!day)
            throw ApiError(422,
                           "event: day \"" + d.get<std::string>() +
                               "\" is not one of mon, tue, wed, thu, fri, sat, sun",
                           "days");
        if (std::find(e.Days.begin(), e.Days.end(), *day) == e.Days.end())
            e.Days.push_back(*day);
    }
    std::sort(e.Days.begin(), e.Days.end());
    if (!j.contains("time"))
        Bad("time is missing (\"hh:mm:ss\", or null for none)");
    if (j["time"].is_string())
        e.Time = j["time"].get<std::string>();
    else if (!j["time"].is_null())
        Bad("time must be a text \"hh:mm:ss\" or null");
    // The date rules: texts and a number, each null or absent when not set.
    auto optionalText = [&](const char* key) -> std::optional<std::string> {
        if (!j.contains(key) || j[key].is_null())
            return std::nullopt;
        return Text(j, key, "");
    };
    e.Dates.From = optionalText("from");
    e.Dates.Until = optionalText("until");
    e.Dates.WeekOf = optionalText("week_of");
    e.Dates.Latest = optionalText("latest");
    if (j.contains("every_weeks") && !j["every_weeks"].is_null())
        e.Dates.EveryWeeks = Int(j, "every_weeks", "");
    for (const auto& [key, list] :
         {std::pair<const char*, std::vector<std::string>*>{"except", &e.Dates.Except},
          {"only", &e.Dates.Only}}) {
        if (!j.contains(key) || j[key].is_null())
            continue;
        if (!j[key].is_array())
            Bad(std::string(key) + " must be a list of calendar names");
        for (const json& n : j[key]) {
            if (!n.is_string())
                Bad(std::string(key) + " must hold calendar names (texts)");
            list->push_back(n.get<std::string>());
        }
    }
    e.Mark = j.contains("marking") ? Word<Marking>(j, "marking", "", ParseMarking,
                                                   "active, inactive, skip-next, one-time")
                                   : Marking::Active;
    if (j.contains("condition") && !j["condition"].is_null()) {
        const json& c = j["condition"];
        OnlyFields(c, "condition", {"when", "source", "destination"});
        std::string when = Text(c, "when", "condition");
        if (when != "on" && when != "off")
            throw ApiError(422, "event: condition.when \"" + when + "\" is not one of on, off",
                           "condition.when");
        e.When = Condition{when == "on", Int(c, "source", "condition"),
                           Int(c, "destination", "condition")};
    }
    if (j.contains("actions")) {
        if (!j["actions"].is_array())
            Bad("actions must be a list");
        std::set<std::string> seen;
        for (const json& a : j["actions"]) {
            if (!a.is_object())
                Bad("each action must be an object with a kind");
            std::string kind = Text(a, "kind", "action");
            std::string group = kind == "sum-on" || kind == "sum-off" ? "take" : kind;
            if (!seen.insert(group).second)
                Bad("two actions of kind \"" + kind +
                    "\" (at most one crosspoint, salvo, relay, gain and message action)");
            if (auto k = ParseCrosspointKind(kind)) {
                OnlyFields(a, kind, {"kind", "source", "destination"});
                e.Do.Crosspoint =
                    CrosspointAction{*k, Int(a, "source", kind), Int(a, "destination", kind)};
            } else if (kind == "salvo") {
                OnlyFields(a, kind, {"kind", "salvo"});
                e.Do.Salvo = SalvoAction{Int(a, "salvo", kind)};
            } else if (kind == "relay") {
                OnlyFields(a, kind, {"kind", "mode", "relay"});
                e.Do.Relay = RelayAction{
                    Word<RelayMode>(a, "mode", kind, ParseRelayMode, "latch, release, pulse"),
                    Int(a, "relay", kind)};
            } else if (kind == "gain") {
                OnlyFields(a, kind, {"kind", "target", "channel", "gain"});
                e.Do.Gain = GainAction{
                    Word<GainTarget>(a, "target", kind, ParseGainTarget, "source, destination"),
                    Int(a, "channel", kind), Int(a, "gain", kind)};
            } else if (kind == "message") {
                MessageAction m;
                m.To = Word<MessageTo>(a, "to", kind, ParseMessageTo, "ip, serial, switcher");
                switch (m.To) {
                    case MessageTo::Ip:
                        OnlyFields(a, kind, {"kind", "to", "address", "port", "text", "file"});
                        m.Address = Text(a, "address", kind);
                        m.Port = Int(a, "port", kind);
                        break;
                    case MessageTo::Serial:
                        OnlyFields(a, kind, {"kind", "to", "port", "baud", "text", "file"});
                        m.Port = Int(a, "port", kind);
                        m.Baud = Int(a, "baud", kind);
                        break;
                    case MessageTo::Switcher:
                        OnlyFields(a, kind,
                                   {"kind", "to", "frame", "slot", "port", "text", "file"});
                        m.Frame = Int(a, "frame", kind);
                        m.Slot = Int(a, "slot", kind);
                        m.Port = Int(a, "port", kind);
                        break;
                }
                if (a.contains("text") == a.contains("file"))
                    Bad("a message has either text or file");
                m.Content = a.contains("file") ? MessageContent::File : MessageContent::Text;
                m.Text = Text(a, m.Content == MessageContent::File ? "file" : "text", kind);
                e.Do.Message = std::move(m);
            } else {
                throw ApiError(422, "event: action kind \"" + kind +
                                        "\" is not one of take, sum-on, sum-off, salvo, relay, "
                                        "gain, message");
            }
        }
    }
    return e;
}

json ProblemsToJson(const std::vector<Problem>& problems) {
    json list = json::array();
    for (const Problem& p : problems)
        list.push_back({{"field", p.Field},
                        {"message", p.Message},
                        {"value", p.Value},
                        {"allowed", p.Allowed}});
    return list;
}

}  // namespace qtx::console
