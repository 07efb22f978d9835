#pragma once
// An alarm: what went wrong, how badly, and what it is about. Kinds and severities are fixed;
// each kind has one severity. An alarm keeps its id from raise to clear.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qtx::alarms {

enum class AlarmKind {
    TakeNotConfirmed,
    LinkDown,
    EventRefused,
    ErrorLogged,
    EngineNotRunning,
    NoLeader,
    EditOverwritten,
    Test,
};

enum class Severity { Critical, Major, Minor, Warning };

enum class AlarmState { Raised, Cleared };

// Every kind, in the order above.
const std::vector<AlarmKind>& AllKinds();
// "take-not-confirmed", ...
std::string KindName(AlarmKind kind);
std::optional<AlarmKind> ParseKind(const std::string& name);
Severity SeverityOf(AlarmKind kind);
// "critical", "major", "minor", "warning"
std::string SeverityName(Severity s);

// The event an alarm is about, when there is one.
struct AlarmEvent {
    int Number = 0;
    std::string Title;
};

struct Alarm {
    std::string Id;
    AlarmKind Kind = AlarmKind::Test;
    AlarmState State = AlarmState::Raised;
    std::string Text;
    std::optional<AlarmEvent> Event;
    std::optional<int> Link;        // 0 the server link, 1 the slave link
    int64_t AtMs = 0;               // when raised (or cleared), ms since the epoch, UTC
    int UtcOffsetMinutes = 0;       // the host's offset at that moment, for the text form
    std::string Engine;             // "HOST:/program/folder/"
    std::optional<double> LastedS;  // cleared: seconds from raise to clear
    std::string About;              // what it concerns, unique within its kind (not in the JSON)
    std::string AckedBy;            // the account that acknowledged it ("" not yet)
    int64_t AckedAtMs = 0;          // when, UTC ms
};

// The alarm as one JSON object (the webhook's body and the API's form).
std::string AlarmJson(const Alarm& a);
// "2026-12-07T06:00:01.012+00:00"
std::string FormatAlarmTime(int64_t utcMs, int offsetMinutes);

}  // namespace qtx::alarms
