// Executing the due event: checks, actions, refusal line, history row, markings, advance, chain.
#include "common/Checked.h"
#include "common/Constants.h"
#include "common/Format.h"
#include "engine/EventHandle.h"
#include "messages/MessageEvents.h"
#include "switcher/TcpComm.h"

namespace qtx {

void EventHandle::ExecuteEvent() {
    // The IP sender pumps the event loop; a tick arriving meanwhile sees this flag and starts
    // no second execution.
    const bool outermost = !v_.ExecutionInProgress;
    v_.ExecutionInProgress = true;
    // The chain of same-second events runs as a loop: the same order of effects as a nested
    // call per chained event, without the stack growing with the table.
    while (ExecuteOne()) {
    }
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
        const int16_t saved = v_.NextEventIndex;
        bool okToRun = true;
        std::string refusal;  // why the event did not run, for the outcome
        const int64_t latenessMs = LatenessMs();
        v_.LastExecutedAt = v_.CurrentDayNumber * 86400 + v_.CurrentTime;

        // Checks: the first that applies decides.
        const int16_t active = Current().Active;
        if (active == 0) {
            okToRun = false;
        } else if (active == 2) {
            okToRun = false;
            UpdateSkipEvent();
        } else if (!v_.SwitcherConnected || !v_.ServerConnected) {
            okToRun = false;
        } else if (Current().Condition == 1) {
            okToRun = CrosspointIsOn(Current());
        } else if (Current().Condition == 2) {
            const AutomationEvent& e = Current();
            const bool outside =
                e.ReqSource == 0 || e.ReqDest < 1 || e.ReqDest > CrosspointMapBound(v_);
            okToRun = !outside && !CrosspointIsOn(e);
        }

        if (okToRun) {
            // Each sender reads the event through NextEventIndex and may pump the loop (the IP
            // sender does): the record is read afresh after every call.
            if (Current().xcontrol != 0) {
                if (Current().SourceChan != 0 && Current().DestChan != 0) {
                    tcp_.SendCrosspointChange();
                } else {
                    okToRun = false;
                    if (refusal.empty())
                        refusal = "Invalid Crosspoint";
                    logs_.WriteActivityLog(Current().Title + " not executed - Invalid Crosspoint");
                }
            }
            if (Current().scontrol != 0)
                tcp_.SendSalvoExecute();
            if (Current().rcontrol != 0) {
                if (Current().Relay == 0) {
                    okToRun = false;
                    if (refusal.empty())
                        refusal = "Invalid Relay";
                    logs_.WriteActivityLog(Current().Title + " not executed - Invalid Relay");
                } else {
                    tcp_.SendRelayAction();
                }
            }
            if (Current().vcontrol != 0) {
                if (Current().VChan == 0) {
                    okToRun = false;
                    if (refusal.empty())
                        refusal = "Invalid Channel";
                    logs_.WriteActivityLog(Current().Title + " not executed - Invalid Channel");
                } else {
                    tcp_.SendGainChange();
                }
            }
            if (Current().mcontrol != 0)
                messages_.SendMessageEvent();
        } else {
            const AutomationEvent& e = Current();
            const char* reason = !v_.ServerConnected     ? " not executed - Server not connected"
                                 : !v_.SwitcherConnected ? " not executed - Switcher not connected"
                                 : e.Condition == 1      ? " not executed - Crosspoint inactive"
                                 : e.Condition == 2      ? " not executed - Crosspoint active"
                                                         : nullptr;
            if (reason != nullptr) {
                logs_.WriteActivityLog(e.Title + reason);
                refusal = reason + std::string(" not executed - ").size();
            } else {
                refusal = e.Active == 0 ? "Inactive" : "Skipped";
            }
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
            view_.ShowEventOutcome(
                EventOutcome{e.Number, e.DayName, e.Time, e.Title, okToRun, refusal, latenessMs});
        }

        if (Current().Active == 3)
            DeleteOneTimeEvent();

        if (v_.EventCount == 0) {
            // The last record was deleted: nothing is left to advance to.
            DisplayNextEvent();
            return false;
        }
        Advance();
        DisplayNextEvent();

        // Same-second guard: when the advance came back to the event just run, wait for the next
        // second so the next tick does not run it again.
        if (v_.EventCount == 1 || v_.NextEventIndex == saved)
            clock_.WaitWhileSecondIs(v_.CurrentTime);

        return NextIsDueInChain();
    } catch (...) {
        logs_.ReportError("Error Executing Event");
        return false;
    }
}

int64_t EventHandle::LatenessMs() const {
    // From the start of the second the engine is running (the tick's "now") to this moment.
    const LocalDateTime now = clock_.Now();
    const int64_t nowMs = ToEpochMs(now);
    const LocalDateTime second{now.Year, now.Month, now.Day, 0, 0, 0, 0};
    return nowMs - (ToEpochMs(second) + int64_t{v_.CurrentTime} * 1000);
}

void EventHandle::Advance() {
    // At most one pass over the table: when no reachable record has a time the advance stops
    // there and leaves the index at 0.
    for (int step = 0; step <= v_.EventCount; ++step) {
        v_.NextEventIndex = v_.NextEventIndex == v_.EventCount - 1
                                ? int16_t{0}
                                : ToInt16(int64_t{v_.NextEventIndex} + 1);
        if (Current().Day == 7)
            v_.NextEventIndex = 0;
        if (Current().Time != "24:00:00")
            return;
    }
    v_.NextEventIndex = 0;
}

bool EventHandle::NextIsDueInChain() const {
    if (v_.NextEventIndex == 0)
        return false;
    const AutomationEvent& n = Current();
    if (n.Day == v_.TodayIndex)
        return ParseTimeOfDay(n.Time) <= v_.CurrentTime;
    if (v_.TodayIndex > n.Day)
        return true;
    return v_.TodayIndex == 0 && n.Day == 6 && At(v_.EventTable, v_.NextEventIndex - 1).Day == 6;
}

}  // namespace qtx
