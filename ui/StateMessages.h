#pragma once
// The messages of the engine's state channel, for its writer (ui/StateChannel) and its readers
// (the console): one JSON object per line, its kind in "type". The message kinds, their field
// names and the values they carry (link states, refusal reasons) are defined here once; a reader
// takes every state from a field's value, never from a text meant for people.
//
//   snapshot        caption icon link slave panels next historyColor history
//   caption         caption link
//   icon            icon
//   panel           panel text
//   nextCleared
//   next            day time title number weekday
//   history         day time title color
//   historyCleared
//   outcome         number day time title ran reason refusal [latenessMs]
//   slave           enabled server switcher
//   messageBox      text title
//   confirmation    number day time title link action source destination result confirmed
//                   [confirmMs] [confirmReason] [shows] [supersededBy]
//                   (link is 0 or 1 here; the console adds "row", the history row's fields)
//   alarm           alarm (an alarm raised or cleared, in its stored form)
//   role            role leader reason leaderChanges claims (an engine in a group of engines)
//   unfinishedRun   number title date time node actions
//
// The snapshot also carries alarms: the active alarms and the last cleared ones; role (the role
// message's fields) once the engine has a group; unfinished, the last unfinished runs reported.
// link is {server, switcher}; a history row of the snapshot carries its outcome's ran, reason,
// refusal and latenessMs once it has one (with its number), and confirmation, confirmed and
// confirmMs or confirmReason once a link's confirmation has ended (see Combine).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qtx::state {

inline constexpr const char* kSocketName = "qtx-automation.sock";

enum class MessageKind {
    Snapshot,
    Caption,
    Icon,
    Panel,
    NextCleared,
    Next,
    History,
    HistoryCleared,
    Outcome,
    Slave,
    MessageBox,
    Confirmation,  // follows the outcome of a run with a crosspoint action, once per link
    Alarm,
    Role,           // the engine's role in its group changed, or its claim counts did
    UnfinishedRun,  // a run another member claimed and never finished (not run again)
};
// The "type" text of a kind, and back (nullopt for a kind this build does not know).
const char* KindName(MessageKind kind);
std::optional<MessageKind> KindFromName(std::string_view name);

// Field names.
namespace field {
inline constexpr const char* Type = "type";
inline constexpr const char* Caption = "caption";
inline constexpr const char* Icon = "icon";
inline constexpr const char* Link = "link";
inline constexpr const char* Slave = "slave";
inline constexpr const char* Panels = "panels";
inline constexpr const char* Panel = "panel";
inline constexpr const char* Text = "text";
inline constexpr const char* Next = "next";
inline constexpr const char* HistoryColor = "historyColor";
inline constexpr const char* History = "history";
inline constexpr const char* Day = "day";
inline constexpr const char* Time = "time";
inline constexpr const char* Title = "title";
inline constexpr const char* Number = "number";
inline constexpr const char* Weekday = "weekday";  // 0 Monday .. 6 Sunday; -1 none
inline constexpr const char* Color = "color";
inline constexpr const char* Ran = "ran";
inline constexpr const char* Reason = "reason";    // the refusal in words
inline constexpr const char* Refusal = "refusal";  // the refusal as a value (RefusalName)
inline constexpr const char* LatenessMs = "latenessMs";
inline constexpr const char* Enabled = "enabled";
inline constexpr const char* Server = "server";
inline constexpr const char* Switcher = "switcher";
inline constexpr const char* Action = "action";  // ActionName
inline constexpr const char* Source = "source";  // from 1
inline constexpr const char* Destination = "destination";
inline constexpr const char* Result = "result";  // ConfirmResultName
inline constexpr const char* Confirmed = "confirmed";
inline constexpr const char* ConfirmMs = "confirmMs";
inline constexpr const char* ConfirmReason = "confirmReason";
inline constexpr const char* Shows = "shows";  // sources the output carries, from 1
inline constexpr const char* SupersededBy = "supersededBy";
inline constexpr const char* Confirmation = "confirmation";  // a history row's ConfirmResultName
inline constexpr const char* Alarm = "alarm";
inline constexpr const char* Alarms = "alarms";
inline constexpr const char* Role = "role";  // RoleName; in the snapshot, the role's object
inline constexpr const char* Leader = "leader";
inline constexpr const char* LeaderChanges = "leaderChanges";
inline constexpr const char* Claims = "claims";  // {claimed, already_claimed, not_leader}
inline constexpr const char* Claimed = "claimed";
inline constexpr const char* AlreadyClaimed = "already_claimed";
inline constexpr const char* NotLeader = "not_leader";
inline constexpr const char* Date = "date";  // "2026-12-07"
inline constexpr const char* Node = "node";
inline constexpr const char* Actions = "actions";  // in words, as the event tool lists them
inline constexpr const char* Unfinished = "unfinished";
}  // namespace field

// The link to the switcher's server as the engine knows it; the caption and the window icon
// show it in words and pictures.
enum class LinkState { ServerNotConnected, SwitcherNotConnected, SwitcherConnected };
struct LinkFlags {
    bool Server = false, Switcher = false;
};
constexpr LinkFlags FlagsOf(LinkState s) {
    return {s != LinkState::ServerNotConnected, s == LinkState::SwitcherConnected};
}

// Why an event did not run: the first check that refused it.
enum class Refusal {
    None,  // it ran
    Inactive,
    Skipped,
    ServerNotConnected,
    SwitcherNotConnected,
    CrosspointInactive,
    CrosspointActive,
    InvalidCrosspoint,
    InvalidRelay,
    InvalidChannel,
    // The event's date rules (its words, with the calendar's date title or the due time, travel
    // in EventOutcome::Detail).
    Holiday,        // a date of a calendar it avoids
    NotInCalendar,  // not a date of the calendars it follows
    OutsideDates,   // before its from or after its until
    NotItsWeek,     // not one of its every-Nth weeks
    TooLate,        // later than its latest after its second
    // A member of a group whose lease may have expired stops sending in the middle of a run.
    CutShort,
};
// The words: for the refusals the activity log writes, exactly its text after " not executed - "
// ("Server not connected", "Invalid Crosspoint"); "Inactive", "Skipped"; "" for None.
const char* RefusalText(Refusal r);
// The value on the channel ("inactive", "serverNotConnected", ...; "" for None), and back.
const char* RefusalName(Refusal r);
std::optional<Refusal> RefusalFromName(std::string_view name);
// True for the refusals of an event's date rules (Holiday .. TooLate): such an occurrence
// consumes no marking.
bool IsDateRefusal(Refusal r);

// The crosspoint command a confirmation is about.
enum class CrosspointAction { Take, SumOn, SumOff };
// "take", "sumOn", "sumOff"; the words of the activity log: "Take", "Sum On", "Sum Off".
const char* ActionName(CrosspointAction a);
const char* ActionWords(CrosspointAction a);

// How a confirmation ended. Sent: the run's actions are ones the switcher never reports on
// (salvo, relay, gain, message), so there is nothing to confirm.
enum class ConfirmResult { Confirmed, NotConfirmed, Superseded, Sent };
// "confirmed", "notConfirmed", "superseded", "sent", and back.
const char* ConfirmResultName(ConfirmResult r);
std::optional<ConfirmResult> ConfirmResultFromName(std::string_view name);

// A history row's confirmation, made of its links' confirmation messages: the worst of them
// (not confirmed, then superseded, sent, confirmed), the longest time when all were confirmed,
// and the reason of the one that decided, "link 1: " before it when it is the slave's.
struct RowConfirmation {
    bool Has = false;
    ConfirmResult Result = ConfirmResult::Sent;
    int64_t Ms = -1;
    std::string Reason;
};
RowConfirmation LinkConfirmation(ConfirmResult result, int64_t ms, const std::string& reason,
                                 int link);
RowConfirmation Combine(const RowConfirmation& row, const RowConfirmation& link);

// An engine's role in its group of engines (main and backup); Alone without a group file.
enum class ClusterRole {
    Alone,
    Leader,    // runs events
    Standby,   // follows the leader's claims, sends nothing but what keeps its links alive
    NoLeader,  // no quorum, a broken group file, or a campaign not yet decided: runs nothing
};
struct RoleState {
    ClusterRole Role = ClusterRole::Alone;
    std::string Leader;          // the leader's node name when known (Standby)
    std::string Reason;          // why there is no leader ("qtx-cluster.conf: unknown key 'x'")
    uint64_t LeaderChanges = 0;  // times this member saw the leadership change hands
    bool operator==(const RoleState&) const = default;
};
// "alone", "leader", "standby", "none" (the metric's label values), and back.
const char* RoleName(ClusterRole r);
std::optional<ClusterRole> RoleFromName(std::string_view name);
// The role line the headless engine prints and the journal gets: "Role: leader", "Role: standby
// (leader: NODE)", "Role: no leader (REASON)"; "" when alone.
std::string RoleLine(const RoleState& r);

// The claims a leader made, by outcome, since the engine started.
struct ClaimCounts {
    uint64_t Claimed = 0, AlreadyClaimed = 0, NotLeader = 0;
    bool operator==(const ClaimCounts&) const = default;
};

// A run another member claimed and never finished, found by this member when it became leader:
// it is not run again (its first commands may have gone out), only reported.
struct UnfinishedRun {
    int32_t Number = 0;
    std::string Title;    // UTF-8
    std::string Date;     // the occurrence's local date, "2026-12-07"
    std::string Time;     // its second, "09:00:00"
    std::string Node;     // the member that claimed it
    std::string Actions;  // what may not have been sent, as the event tool describes them
};

}  // namespace qtx::state
