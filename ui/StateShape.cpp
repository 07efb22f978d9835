#include "ui/StateShape.h"

#include <initializer_list>

namespace qtx::state {

namespace {

using nlohmann::json;
namespace f = field;

enum class T { String, Integer, Bool, Object, Array };

bool Is(const json& v, T t) {
    switch (t) {
        case T::String:
            return v.is_string();
        case T::Integer:
            return v.is_number_integer();
        case T::Bool:
            return v.is_boolean();
        case T::Object:
            return v.is_object();
        case T::Array:
            return v.is_array();
    }
    return false;
}

struct Field {
    const char* Name;
    T Type;
    bool Required = true;
};

bool Fits(const json& m, std::initializer_list<Field> fields) {
    if (!m.is_object())
        return false;
    for (const Field& fd : fields) {
        auto it = m.find(fd.Name);
        if (it == m.end()) {
            if (fd.Required)
                return false;
            continue;
        }
        if (!Is(*it, fd.Type))
            return false;
    }
    return true;
}

bool IsLink(const json& v) {
    return Fits(v, {{f::Server, T::Bool}, {f::Switcher, T::Bool}});
}

bool IsSlave(const json& v) {
    return Fits(v, {{f::Enabled, T::Bool}, {f::Server, T::Bool}, {f::Switcher, T::Bool}});
}

// An engine without refusal values sends only the words; the lateness comes when it is known.
bool IsOutcomeFields(const json& v, bool required) {
    return Fits(v, {{f::Ran, T::Bool, required},
                    {f::Reason, T::String, required},
                    {f::Refusal, T::String, false},
                    {f::LatenessMs, T::Integer, false}});
}

bool IsRow(const json& v) {
    return Fits(v, {{f::Day, T::String}, {f::Time, T::String}, {f::Title, T::String}});
}

bool IsNextRow(const json& v) {
    return IsRow(v) && Fits(v, {{f::Number, T::Integer, false}, {f::Weekday, T::Integer, false}});
}

// A confirmation's fields; a history row carries them once one has ended.
bool IsConfirmFields(const json& v, bool required, const char* result = f::Result) {
    if (!Fits(v, {{result, T::String, required},
                  {f::Confirmed, T::Bool, required},
                  {f::ConfirmMs, T::Integer, false},
                  {f::ConfirmReason, T::String, false}}))
        return false;
    const auto r = v.find(result);
    return r == v.end() || ConfirmResultFromName(r->get<std::string>()).has_value();
}

bool IsHistoryRow(const json& v) {
    return IsRow(v) && Fits(v, {{f::Color, T::Integer}, {f::Number, T::Integer, false}}) &&
           IsOutcomeFields(v, false) && IsConfirmFields(v, false, f::Confirmation);
}

// The role message's fields (the snapshot's role object carries the same).
bool IsRoleFields(const json& v) {
    if (!Fits(v, {{f::Role, T::String},
                  {f::Leader, T::String},
                  {f::Reason, T::String},
                  {f::LeaderChanges, T::Integer},
                  {f::Claims, T::Object}}) ||
        !RoleFromName(v[f::Role].get<std::string>()))
        return false;
    return Fits(
        v[f::Claims],
        {{f::Claimed, T::Integer}, {f::AlreadyClaimed, T::Integer}, {f::NotLeader, T::Integer}});
}

bool IsUnfinishedRun(const json& v) {
    return Fits(v, {{f::Number, T::Integer},
                    {f::Title, T::String},
                    {f::Date, T::String},
                    {f::Time, T::String},
                    {f::Node, T::String},
                    {f::Actions, T::String}});
}

bool AllOf(const json& a, bool (*check)(const json&)) {
    for (const json& v : a)
        if (!check(v))
            return false;
    return true;
}

bool IsText(const json& v) {
    return v.is_string();
}

bool IsObject(const json& v) {
    return v.is_object();
}

bool Sound(MessageKind kind, const json& m) {
    switch (kind) {
        case MessageKind::Snapshot:
            return Fits(m, {{f::Caption, T::String},
                            {f::Icon, T::Integer},
                            {f::Link, T::Object},
                            {f::Slave, T::Object},
                            {f::Panels, T::Array},
                            {f::Next, T::Array},
                            {f::HistoryColor, T::Integer},
                            {f::History, T::Array}}) &&
                   IsLink(m[f::Link]) && IsSlave(m[f::Slave]) && m[f::Panels].size() == 3 &&
                   AllOf(m[f::Panels], IsText) && AllOf(m[f::Next], IsNextRow) &&
                   AllOf(m[f::History], IsHistoryRow) && Fits(m, {{f::Alarms, T::Array, false}}) &&
                   (!m.contains(f::Alarms) || AllOf(m[f::Alarms], IsObject)) &&
                   (!m.contains(f::Role) || IsRoleFields(m[f::Role])) &&
                   Fits(m, {{f::Unfinished, T::Array, false}}) &&
                   (!m.contains(f::Unfinished) || AllOf(m[f::Unfinished], IsUnfinishedRun));
        case MessageKind::Caption:
            return Fits(m, {{f::Caption, T::String}, {f::Link, T::Object}}) && IsLink(m[f::Link]);
        case MessageKind::Icon:
            return Fits(m, {{f::Icon, T::Integer}});
        case MessageKind::Panel:
            return Fits(m, {{f::Panel, T::Integer}, {f::Text, T::String}});
        case MessageKind::Next:
            return IsNextRow(m);
        case MessageKind::History:
            return IsRow(m) && Fits(m, {{f::Color, T::Integer}});
        case MessageKind::Outcome:
            return IsRow(m) && Fits(m, {{f::Number, T::Integer, false}}) &&
                   IsOutcomeFields(m, true);
        case MessageKind::Slave:
            return IsSlave(m);
        case MessageKind::MessageBox:
            return Fits(m, {{f::Text, T::String}, {f::Title, T::String}});
        case MessageKind::Confirmation:
            return IsRow(m) &&
                   Fits(m, {{f::Number, T::Integer},
                            {f::Link, T::Integer},
                            {f::Action, T::String},
                            {f::Source, T::Integer},
                            {f::Destination, T::Integer},
                            {f::Shows, T::Array, false},
                            {f::SupersededBy, T::Integer, false}}) &&
                   IsConfirmFields(m, true);
        case MessageKind::Alarm:
            return Fits(m, {{f::Alarm, T::Object}});
        case MessageKind::Role:
            return IsRoleFields(m);
        case MessageKind::UnfinishedRun:
            return IsUnfinishedRun(m);
        case MessageKind::NextCleared:
        case MessageKind::HistoryCleared:
            return true;
    }
    return false;
}

}  // namespace

const char* LineProblemName(LineProblem p) {
    switch (p) {
        case LineProblem::NotJson:
            return "not_json";
        case LineProblem::UnknownKind:
            return "unknown_kind";
        case LineProblem::WrongType:
            return "wrong_type";
        case LineProblem::TooLong:
            return "too_long";
    }
    return "unknown";
}

CheckedLine CheckLine(const json& m) {
    CheckedLine c;
    if (!m.is_object()) {
        c.Problem = LineProblem::NotJson;
        return c;
    }
    auto type = m.find(f::Type);
    if (type == m.end() || !type->is_string()) {
        c.Problem = LineProblem::WrongType;
        return c;
    }
    const std::optional<MessageKind> kind = KindFromName(type->get<std::string>());
    if (!kind) {
        c.Problem = LineProblem::UnknownKind;
        return c;
    }
    if (!Sound(*kind, m)) {
        c.Problem = LineProblem::WrongType;
        return c;
    }
    c.Kind = kind;
    return c;
}

}  // namespace qtx::state
