// The engine in a group of engines (main and backup): which member runs an occurrence, what the
// others do with it, and the role shown as it changes.
//
// Each occurrence the tick reaches is judged here first (dates and markings), then:
//   leader   claims it (refused ones too, so the others can follow) and runs it when the claim
//            holds; an occurrence another run holds is passed as run elsewhere; a claim that
//            fails for want of leadership holds the occurrence for a later tick;
//   standby  passes an occurrence once it has seen its claim, and holds it until then;
//   no leader holds every occurrence.
// A held occurrence is not recorded as run and the pointer stays on it, so the member that
// becomes leader later runs it once, late, under the engine's late-run rules (kLatestRun and the
// event's latest). A passed occurrence applies the marking its claim recorded to this member's
// table and file, so that no skip or one-time marking is consumed twice or left behind, and
// shows in the history as "TITLE - Run on NODE" (whether it ran there is in that member's own
// history); it writes no activity line and no outcome: the run was not this engine's.
//
// A run another member claimed but never finished is not run again: its first commands may
// have gone out, and sending them twice is worse than a run reported as possibly incomplete. It
// is reported in the error log (and so the journal) and on the state channel.
#include <cstdio>

#include "common/Constants.h"
#include "common/DateTime.h"
#include "common/Format.h"
#include "common/Text.h"
#include "engine/Engine.h"
#include "engine/EngineAlarms.h"
#include "engine/EventHandle.h"
#include "engine/Occurrences.h"
#include "schedule/Rows.h"

namespace qtx {

namespace {

constexpr const char* kRoleLocation = "Group Role";
constexpr const char* kUnfinishedLocation = "Unfinished Run";
constexpr const char* kScheduleLocation = "Group Schedule";

std::string DateOfDay(int64_t day) {
    int y = 0, m = 0, d = 0;
    CivilFromDays(day, y, m, d);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
    return text;
}

}  // namespace

EventHandle::GateWord EventHandle::AskGate(const cluster::Occurrence& of, int64_t moment,
                                           cluster::Marking consumes) {
    const cluster::Role role = Gate->CurrentRole().Role;
    if (role == cluster::Role::Leader) {
        const cluster::ClaimOutcome outcome = Gate->Claim(of, consumes, Current().Title);
        switch (outcome) {
            case cluster::ClaimOutcome::Claimed:
                ++Claims.Claimed;
                break;
            case cluster::ClaimOutcome::AlreadyClaimed:
                ++Claims.AlreadyClaimed;
                break;
            case cluster::ClaimOutcome::NotLeader:
                if (notLeaderAt_ != of)
                    ++Claims.NotLeader;
                notLeaderAt_ = of;
                break;
        }
        view_.ShowClaims(Claims);
        if (outcome == cluster::ClaimOutcome::Claimed)
            return GateWord::Run;
        if (outcome == cluster::ClaimOutcome::NotLeader)
            return GateWord::Hold;
        // Held by another run: its record says what it consumed; should the record not have
        // reached this member yet, the schedule is the same, so the run consumed what it would
        // have consumed here.
        PassRunElsewhere(
            Gate->ClaimOf(of).value_or(cluster::ClaimRecord{"another member", consumes, false, ""}),
            moment);
        return GateWord::Passed;
    }
    if (role == cluster::Role::Standby) {
        if (const std::optional<cluster::ClaimRecord> claim = Gate->ClaimOf(of)) {
            PassRunElsewhere(*claim, moment);
            return GateWord::Passed;
        }
    }
    return GateWord::Hold;
}

void EventHandle::PassRunElsewhere(const cluster::ClaimRecord& claim, int64_t moment) {
    RecordRun(Current(), moment);
    const AutomationEvent& e = Current();
    view_.SetHistoryColor(constants::ColorBlack);
    view_.AddHistoryRow(e.DayName, e.Time, e.Title + " - Run on " + Utf8ToCp1252(claim.Node));
    // The marking the claim consumed reaches this file with the group's schedule (the claim's
    // own transaction consumed it there), not from here: one path, never applied twice.
}

void Engine::UseGate(std::unique_ptr<cluster::RunGate> gate) {
    gate_ = std::move(gate);
}

void Engine::WatchRole() {
    const state::RoleState role = gate_->CurrentRole();
    if (!shownRole_ || role != *shownRole_) {
        shownRole_ = role;
        view_.ShowRole(role);
        if (role.Role == state::ClusterRole::NoLeader) {
            // Each new reason once; the same reason after a recovery is written again.
            if (role.Reason != loggedReason_) {
                loggedReason_ = role.Reason;
                logs_.WriteErrorLog("Error # 0 - No leader in the group, no event runs: " +
                                        Utf8ToCp1252(role.Reason),
                                    kRoleLocation);
            }
        } else {
            loggedReason_.clear();
        }
        alarms_->Role(role);
        if (RoleSeen)
            RoleSeen(role);
    }
    ReportUnfinished();
    ReportScheduleNotices();
}

void Engine::ReportScheduleNotices() {
    for (const cluster::ScheduleNotice& n : gate_->TakeScheduleNotices()) {
        const std::string text =
            n.Overwritten ? "Error # 0 - " + n.What +
                                ": this member's change lost to another member's made at the "
                                "same time; the group's version is now in this file. This "
                                "member's change: " +
                                n.Mine + ". The group's: " + n.Theirs
                          : "Error # 0 - " + n.What +
                                " differed from the group's schedule when this member joined; "
                                "the group's version is now in this file. This file had: " +
                                n.Mine + ". The group's: " + n.Theirs;
        logs_.WriteErrorLog(Utf8ToCp1252(text), kScheduleLocation);
        if (n.Overwritten)
            alarms_->EditOverwritten(n.What, text);
    }
}

void Engine::ReportUnfinished() {
    for (const cluster::UnfinishedClaim& u : gate_->TakeUnfinished()) {
        state::UnfinishedRun run;
        run.Number = u.Of.Number;
        run.Title = u.Claim.Title;
        run.Date = DateOfDay(u.Of.Day);
        run.Time = FormatHhMmSs(static_cast<TimeOfDay>(u.Of.Second));
        run.Node = u.Claim.Node;
        // The actions in the event tool's words, from this member's record of the event (the
        // group runs one schedule).
        run.Actions = "unknown (the event is not in this engine's table)";
        for (int16_t i = 0; i < vars_.EventCount; ++i) {
            const AutomationEvent& r = vars_.EventTable[static_cast<size_t>(i)];
            if (r.Number != u.Of.Number)
                continue;
            const schedule::Event e =
                schedule::EventFromLoaded(schedule::LoadedFieldsOf(r), {r.Day});
            run.Actions = schedule::DescribeActions(e.Do);
            if (run.Title.empty())
                run.Title = e.Title;
            break;
        }
        logs_.WriteErrorLog(
            Utf8ToCp1252("Error # 0 - Event " + std::to_string(run.Number) + " \"" + run.Title +
                         "\" due " + run.Date + " " + run.Time + " was claimed by " + run.Node +
                         ", which did not finish it; it is not run again. Actions that may not " +
                         "have been sent: " + run.Actions),
            kUnfinishedLocation);
        view_.ShowUnfinishedRun(run);
    }
}

}  // namespace qtx
