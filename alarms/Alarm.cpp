#include "alarms/Alarm.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace qtx::alarms {

namespace {

struct KindInfo {
    AlarmKind Kind;
    const char* Name;
    Severity Sev;
};

constexpr KindInfo kKinds[] = {
    {AlarmKind::TakeNotConfirmed, "take-not-confirmed", Severity::Major},
    {AlarmKind::LinkDown, "link-down", Severity::Critical},
    {AlarmKind::EventRefused, "event-refused", Severity::Minor},
    {AlarmKind::ErrorLogged, "error-logged", Severity::Minor},
    {AlarmKind::EngineNotRunning, "engine-not-running", Severity::Critical},
    {AlarmKind::NoLeader, "no-leader", Severity::Critical},
    {AlarmKind::EditOverwritten, "edit-overwritten", Severity::Warning},
    {AlarmKind::Test, "test", Severity::Warning},
};

const KindInfo& Info(AlarmKind k) {
    for (const KindInfo& i : kKinds)
        if (i.Kind == k)
            return i;
    return kKinds[0];
}

}  // namespace

const std::vector<AlarmKind>& AllKinds() {
    static const std::vector<AlarmKind> all = [] {
        std::vector<AlarmKind> v;
        for (const KindInfo& i : kKinds)
            v.push_back(i.Kind);
        return v;
    }();
    return all;
}

std::string KindName(AlarmKind kind) {
    return Info(kind).Name;
}

std::optional<AlarmKind> ParseKind(const std::string& name) {
    for (const KindInfo& i : kKinds)
        if (name == i.Name)
            return i.Kind;
    return std::nullopt;
}

Severity SeverityOf(AlarmKind kind) {
    return Info(kind).Sev;
}

std::string SeverityName(Severity s) {
    switch (s) {
        case Severity::Critical:
            return "critical";
        case Severity::Major:
            return "major";
        case Severity::Minor:
            return "minor";
        case Severity::Warning:
            break;
    }
    return "warning";
}

std::string FormatAlarmTime(int64_t utcMs, int offsetMinutes) {
    const int64_t localMs = utcMs + int64_t{offsetMinutes} * 60000;
    const time_t secs = static_cast<time_t>(localMs >= 0 ? localMs / 1000 : (localMs - 999) / 1000);
    const int ms = static_cast<int>(localMs - int64_t{secs} * 1000);
    std::tm t{};
    gmtime_r(&secs, &t);
    const int off = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms,
                  offsetMinutes < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

std::string AlarmJson(const Alarm& a) {
    nlohmann::ordered_json j;
    j["id"] = a.Id;
    j["kind"] = KindName(a.Kind);
    j["state"] = a.State == AlarmState::Raised ? "raised" : "cleared";
    j["severity"] = SeverityName(SeverityOf(a.Kind));
    j["text"] = a.Text;
    if (a.Event)
        j["event"] = {{"number", a.Event->Number}, {"title", a.Event->Title}};
    if (a.Link)
        j["link"] = *a.Link;
    j["at"] = FormatAlarmTime(a.AtMs, a.UtcOffsetMinutes);
    j["engine"] = a.Engine;
    if (a.State == AlarmState::Cleared && a.LastedS)
        j["lasted_s"] = *a.LastedS;
    if (!a.AckedBy.empty()) {
        j["acked_by"] = a.AckedBy;
        j["acked_at"] = FormatAlarmTime(a.AckedAtMs, a.UtcOffsetMinutes);
    }
    // Texts that are not valid UTF-8 (a title in the file's own encoding) are not a reason to
    // lose the alarm.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qtx::alarms
