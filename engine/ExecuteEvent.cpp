// Executing the due event: checks, actions, refusal line, history row, markings, advance, chain.
#include "common/Checked.h"
#include "common/Constants.h"
#include "common/Format.h"
#include "common/LocalTime.h"
#include "common/Text.h"
#include "engine/Confirmations.h"
#include "engine/EventHandle.h"
#include "engine/Occurrences.h"
#include "messages/MessageEvents.h"
#include "switcher/TcpComm.h"

namespace qtx {

namespace {

state::Refusal RefusalOfDate(schedule::DateVerdict v) {
    using schedule::DateVerdict;
    switch (v) {
        case DateVerdict::Holiday:
            return state::Refusal::Holiday;
        case DateVerdict::NotInCalendar:
            return state::Refusal::NotInCalendar;
        case DateVerdict::OutsideDates:
            return state::Refusal::OutsideDates;
        case DateVerdict::NotItsWeek:
            return state::Refusal::NotItsWeek;
        case DateVerdict::TooLate:
            return state::Refusal::TooLate;
        case DateVerdict::Runs:
            break;
    }
    return state::Refusal::None;
}

}  // namespace

void EventHandle::ExecuteEvent() {
    // The IP sender pumps the event loop; a tick arriving meanwhile sees this flag and starts
    // no second execution.
    const bool outermost = !v_.ExecutionInProgress;
    v_.ExecutionInProgress = true;
    // The chain of due events runs as a loop: the same order of effects as a nested call per
    // chained event, without the stack growing with the table. Each run moves the pointer on,
    // so one tick runs each record at most once; the bound is a second guard against a loop.
    for (int runs = 0; ExecuteOne() && runs < v_.EventCount; ++runs) {
    }
    // A run that faulted between its send and its outcome leaves no confirmation held.
    if (Confirming != nullptr)
        Confirming->Release();
    if (outermost)
        v_.ExecutionInProgress = false;
}

bool EventHandle::CrosspointIsOn(const AutomationEvent& e) const {
    // A destination below 1 or beyond the map bound has no entry in the map: it counts as off.
    if (e.ReqSource == 0 || e.ReqDest < 1 || e.ReqDest > CrosspointMapBound(v_))
        return false;
    const CrosspointEntry& entry = At(v_.CrosspointMap, e.ReqDest - 1);
    for (int j = 0; j < entry.SourceCount; ++j)
        if (At(entry.Sources, j) == e.ReqSource - 1)
            return true;
    return false;
}

bool EventHandle::ExecuteOne() {
    try {
        using state::Refusal;
        bool okToRun = true;
        Refusal refusal = Refusal::None;  // the first check that refused the event, for the outcome
        // The occurrence being run: the moment the record waited for (the tick's own moment when
        // the executor is called without one).
        const int64_t moment = v_.NextDueAt >= 0 ? v_.NextDueAt : NowMoment();
        const int64_t latenessMs = LatenessMs(moment);
        bool sentOnly = false;  // ran with nothing the switcher reports on

        // Checks: the first that applies decides. The date rules come before the markings: an
        // occurrence they exclude is not one the operator meant, so it consumes no skip and no
        // one-time marking.
        const int16_t active = Current().Active;
        const schedule::Judgement dated =
            active != 0 ? JudgeDates(moment, latenessMs) : schedule::Judgement{};
        const bool excluded = dated.Verdict != schedule::DateVerdict::Runs;
        // In a group of engines, one member runs each occurrence: this one may run it, pass it
        // as run by another, or wait for a later tick (not recorded, so it is still to come).
        const bool inGroup = Gate != nullptr;
        const cluster::Occurrence occurrence{Current().Number, moment / kSecondsPerDay,
                                             static_cast<int32_t>(moment % kSecondsPerDay)};
        if (inGroup) {
            const cluster::Marking consumes = excluded      ? cluster::Marking::None
                                              : active == 2 ? cluster::Marking::Skip
                                              : active == 3 ? cluster::Marking::OneTime
                                                            : cluster::Marking::None;
            const GateWord word = AskGate(occurrence, moment, consumes);
            if (word == GateWord::Hold)
                return false;
            if (word == GateWord::Passed)
                return MoveOn(moment);
        }
        RecordRun(Current(), moment);
        // A claimed run stops sending once the lease may have expired (asked before each
        // command); the rest of its actions is not sent and the run is reported as cut short.
        bool cut = false;
        auto maySend = [&] {
            if (!inGroup || cut)
                return !cut;
            cut = !Gate->MaySend();
            return !cut;
        };
        if (active == 0) {
            okToRun = false;
            refusal = Refusal::Inactive;
        } else if (excluded) {
            okToRun = false;
            refusal = RefusalOfDate(dated.Verdict);
        } else if (active == 2) {
            okToRun = false;
            refusal = Refusal::Skipped;
            UpdateSkipEvent();
        } else if (!v_.SwitcherConnected || !v_.ServerConnected) {
            okToRun = false;
            refusal =
                !v_.ServerConnected ? Refusal::ServerNotConnected : Refusal::SwitcherNotConnected;
        } else if (Current().Condition == 1) {
            okToRun = CrosspointIsOn(Current());
            if (!okToRun)
                refusal = Refusal::CrosspointInactive;
        } else if (Current().Condition == 2) {
            const AutomationEvent& e = Current();
            const bool outside =
                e.ReqSource == 0 || e.ReqDest < 1 || e.ReqDest > CrosspointMapBound(v_);
            okToRun = !outside && !CrosspointIsOn(e);
            if (!okToRun)
                refusal = Refusal::CrosspointActive;
        }

        // An action that cannot be carried out refuses the event; the actions after it still go.
        auto refuse = [&](Refusal r) {
            okToRun = false;
            if (refusal == Refusal::None)
                refusal = r;
            logs_.WriteRefusal(Current().Title, state::RefusalText(r));
        };
        if (okToRun) {
            // Each sender reads the event through NextEventIndex and may pump the loop (the IP
            // sender does): the record is read afresh after every call.
            bool crosspointSent = false;
            if (Current().xcontrol != 0 && maySend()) {
                if (Current().SourceChan != 0 && Current().DestChan != 0)
                    crosspointSent = tcp_.SendCrosspointChange();
                else
                    refuse(Refusal::InvalidCrosspoint);
            }
            // The expectation starts as soon as the frame is out (the senders after it may pump
            // the loop, and the report with it); its outcome is held until the run's is shown.
            if (crosspointSent && Confirming != nullptr)
                Confirming->Expect(Current());
            if (Current().scontrol != 0 && maySend())
                tcp_.SendSalvoExecute();
            if (Current().rcontrol != 0 && maySend()) {
                if (Current().Relay == 0)
                    refuse(Refusal::InvalidRelay);
                else
                    tcp_.SendRelayAction();
            }
            if (Current().vcontrol != 0 && maySend()) {
                if (Current().VChan == 0)
                    refuse(Refusal::InvalidChannel);
                else
                    tcp_.SendGainChange();
            }
            if (Current().mcontrol != 0 && maySend())
                messages_.SendMessageEvent();
            if (cut)
                refuse(Refusal::CutShort);
            const AutomationEvent& e = Current();
            sentOnly = !crosspointSent && okToRun &&
                       (e.scontrol != 0 || e.rcontrol != 0 || e.vcontrol != 0 || e.mcontrol != 0);
        } else if (excluded) {
            // "TITLE not executed - Holiday Christmas Day (uk)"; outside its dates and not its
            // week pass without a line (a season that ended need not log every day).
            if (!dated.Silent())
                logs_.WriteRefusal(Current().Title, Utf8ToCp1252(dated.Text));
        } else {
            // The activity line keeps its established wording, which the log's readers and peers
            // rely on: the link, then the condition, whatever the marking (an inactive event with
            // a condition logs the condition's line, an inactive one without none). The outcome
            // carries the check that refused the event instead.
            const AutomationEvent& e = Current();
            const Refusal logged = !v_.ServerConnected     ? Refusal::ServerNotConnected
                                   : !v_.SwitcherConnected ? Refusal::SwitcherNotConnected
                                   : e.Condition == 1      ? Refusal::CrosspointInactive
                                   : e.Condition == 2      ? Refusal::CrosspointActive
                                                           : Refusal::None;
            if (logged != Refusal::None)
                logs_.WriteRefusal(e.Title, state::RefusalText(logged));
        }

        // History row; Active may have changed in the checks (a consumed skip is 1 by now).
        {
            const AutomationEvent& e = Current();
            view_.SetHistoryColor(!okToRun && e.Active != 0 ? constants::ColorRed
                                                            : constants::ColorBlack);
            const std::string title = e.Active == 0 ? e.Title + " - Inactive"
                                      : okToRun     ? e.Title
                                                    : e.Title + " - Not Executed";
            view_.AddHistoryRow(e.DayName, e.Time, title);
            const EventOutcome outcome{e.Number, e.DayName, e.Time,     e.Title,
                                       okToRun,  refusal,   latenessMs, Utf8ToCp1252(dated.Text)};
            view_.ShowEventOutcome(outcome);
            if (OutcomeSeen)
                OutcomeSeen(outcome);
        }
        if (Confirming != nullptr) {
            if (sentOnly)
                Confirming->Sent(Current());
            Confirming->Release();
        }

        // The claim's run ended; a cut one is left unfinished, for the next leader to report.
        if (inGroup && !cut)
            Gate->Finished(occurrence);

        if (Current().Active == 3 && !excluded)
            DeleteOneTimeEvent();
        return MoveOn(moment);
    } catch (...) {
        logs_.ReportError("Error Executing Event");
        return false;
    }
}

bool EventHandle::MoveOn(int64_t moment) {
    try {
        if (v_.EventCount == 0) {
            // The last record was deleted: nothing is left to advance to.
            v_.NextDueAt = -1;
            DisplayNextEvent();
            return false;
        }
        Advance(moment);
        DisplayNextEvent();
        // The chain: the next record runs at once when its moment has come by this tick's "now";
        // events that became due while the chain ran are left to the following ticks.
        return NextEventIsDue();
    } catch (...) {
        logs_.ReportError("Error Executing Event");
        return false;
    }
}

schedule::Judgement EventHandle::JudgeDates(int64_t moment, int64_t latenessMs) const {
    if (dates_.Empty())
        return {};
    const AutomationEvent& e = Current();
    // The occurrence's date is the local date its moment falls on, as the preview shows it.
    const int64_t day = moment / kSecondsPerDay;
    const int second = static_cast<int>(moment - day * kSecondsPerDay);
    schedule::Judgement j = dates_.Judge(e.Number, day);
    if (j.Verdict == schedule::DateVerdict::Runs)
        j = dates_.JudgeStart(e.Number, second, latenessMs);
    if (j.Verdict == schedule::DateVerdict::TooLate) {
        // A second the wall clock never showed (the hour lost in spring) comes due at the jump:
        // its lateness counts from the first reading after it, not from a reading that never
        // was. Asked of the zone only here, when the run would otherwise be refused.
        const int64_t shown =
            ToEpochMs(LocalTimeAt(FirstSecondReaching(moment - kSecondsPerDay, moment) * 1000)) /
            1000;
        if (shown > moment)
            j = dates_.JudgeStart(e.Number, second, latenessMs - (shown - moment) * 1000);
    }
    return j;
}

int64_t EventHandle::LatenessMs(int64_t moment) const {
    // From the occurrence's second to this moment, on the wall clock.
    return ToEpochMs(clock_.Now()) - moment * 1000;
}

void EventHandle::Advance(int64_t ranAt) {
    // The next record with a weekly occurrence, in table order; passing the end of the table
    // wraps to the next week. At most one pass: when no record has a time and a weekday the
    // pointer rests at 0 and nothing is due.
    const int64_t week = WeekStart(ranAt / kSecondsPerDay);
    bool wrapped = false;
    for (int step = 0; step < v_.EventCount; ++step) {
        if (v_.NextEventIndex >= v_.EventCount - 1) {
            v_.NextEventIndex = 0;
            wrapped = true;
        } else {
            v_.NextEventIndex = ToInt16(int64_t{v_.NextEventIndex} + 1);
        }
        const AutomationEvent& n = Current();
        if (HasWeeklyOccurrence(n)) {
            v_.NextDueAt = OccurrenceInWeek(n, wrapped ? week + 7 : week);
            return;
        }
    }
    v_.NextEventIndex = 0;
    v_.NextDueAt = -1;
}

}  // namespace qtx
