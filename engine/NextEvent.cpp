// Choosing the next event from scratch (start-up and after a reload), the due test, and showing
// the next event.
#include <algorithm>

#include "common/Checked.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "engine/EventHandle.h"
#include "engine/Occurrences.h"
#include "schedule/DateStore.h"

namespace qtx {

void EventHandle::PrepareTable(bool tableRead) {
    for (int16_t i = 0; i < v_.EventCount && i < static_cast<int>(v_.EventTable.size()); ++i) {
        AutomationEvent& r = v_.EventTable[static_cast<size_t>(i)];
        r.Seconds = -1;
        try {
            const TimeOfDay t = ParseTimeOfDay(r.Time);
            if (t != NoTimeOfDay)
                r.Seconds = t;
        } catch (...) {
            // Reported once per load; the record then never runs, as one without a time.
            logs_.WriteErrorLog("Error # " + std::to_string(faults::TypeMismatch) +
                                    " - Type mismatch: event " + std::to_string(r.Number) + " \"" +
                                    r.Title + "\" has the time \"" + r.Time +
                                    "\", which is not a time of day; it will not run",
                                "Error Reading Automation DB");
        }
    }
    if (tableRead)
        LoadDateRules();
    ReapplyPendingMarkings();
}

void EventHandle::LoadDateRules() {
    dates_ = schedule::DateBook();
    if (v_.EventCount == 0 || !NormalFileExists(v_.DBPath))
        return;
    try {
        Database db = db_.OpenDatabase(v_.DBPath);
        dates_ = schedule::LoadDateBook(db);
        db.Close();
    } catch (...) {
        // A rule another program stored that cannot be read: told once per load; the events
        // then run every week, as events without rules.
        dates_ = schedule::DateBook();
        logs_.ReportError("Error Reading Date Rules");
    }
}

int64_t EventHandle::NowMoment() const {
    return MomentOf(v_.CurrentDayNumber, v_.CurrentTime);
}

bool EventHandle::AlreadyRan(const AutomationEvent& r, int64_t moment) const {
    return v_.RunOccurrences.count({r.Number, moment}) != 0;
}

void EventHandle::RecordRun(const AutomationEvent& r, int64_t moment) {
    v_.RunOccurrences.insert({r.Number, moment});
    // Only the last week and a day matter: older moments can never be chosen again. They are
    // dropped whenever the record has doubled since the last clean-up, so each run costs a
    // constant share of it however large the table.
    if (v_.RunOccurrences.size() < pruneAt_)
        return;
    const int64_t horizon = NowMoment() - kSecondsPerWeek - kSecondsPerDay;
    for (auto it = v_.RunOccurrences.begin(); it != v_.RunOccurrences.end();)
        it = it->second < horizon ? v_.RunOccurrences.erase(it) : std::next(it);
    pruneAt_ = std::max<size_t>(1024, 2 * v_.RunOccurrences.size());
}

int16_t EventHandle::DetermineNextEvent() {
    v_.NextDueAt = -1;
    try {
        if (v_.EventCount == 0) {
            DisplayNextEvent();
            return 0;
        }
        const int64_t now = NowMoment();
        const int64_t week = WeekStart(v_.CurrentDayNumber);
        if (v_.EventCount == 1) {
            // The only record: its next occurrence from now on, unless it already ran in it.
            const AutomationEvent& r = At(v_.EventTable, 0);
            if (HasWeeklyOccurrence(r)) {
                int64_t moment = OccurrenceInWeek(r, week);
                if (moment < now || AlreadyRan(r, moment))
                    moment += kSecondsPerWeek;
                v_.NextDueAt = moment;
            }
            return 0;
        }
        int16_t firstOfNextWeek = -1;
        for (int16_t i = 0; i < v_.EventCount; ++i) {
            const AutomationEvent& r = At(v_.EventTable, i);
            // Records without a time, whose time cannot be read, or without a weekday (Day 7,
            // or a Day outside 0 to 7, which could never become due) are never chosen.
            if (!HasWeeklyOccurrence(r))
                continue;
            if (firstOfNextWeek < 0)
                firstOfNextWeek = i;
            if (r.Type == 1 || r.Type == 2)
                continue;
            const int64_t moment = OccurrenceInWeek(r, week);
            if (r.Day == v_.TodayIndex) {
                // An event of this very second counts as still to come, unless it has just run
                // (a reload in the second of an execution, or an hour the clock repeats).
                if (moment >= now && !AlreadyRan(r, moment)) {
                    v_.NextDueAt = moment;
                    return i;
                }
            } else if (r.Day > v_.TodayIndex) {
                v_.NextDueAt = moment;
                return i;
            }
        }
        // Nothing left this week: the first record of next week waits for its moment.
        if (firstOfNextWeek < 0)
            return 0;
        v_.NextDueAt = OccurrenceInWeek(At(v_.EventTable, firstOfNextWeek), week + 7);
        return firstOfNextWeek;
    } catch (...) {
        logs_.ReportError("Error Determining Next Event");
        return 0;
    }
}

bool EventHandle::NextEventIsDue() {
    if (v_.NextDueAt < 0)
        return false;
    const int64_t now = NowMoment();
    if (now < v_.NextDueAt)
        return false;
    if (now - v_.NextDueAt <= kLatestRun)
        return true;
    // The clock was set far ahead (or the machine slept): rather than run a day's events at
    // once, the occurrences in between are passed over, and the operator is told.
    const AutomationEvent* e = v_.NextEventIndex >= 0 && v_.NextEventIndex < v_.EventCount
                                   ? &v_.EventTable[static_cast<size_t>(v_.NextEventIndex)]
                                   : nullptr;
    logs_.WriteErrorLog(
        "Error # 0 - The clock moved past " + FormatGeneralDate(FromEpochMs(v_.NextDueAt * 1000)) +
            (e != nullptr ? " (event " + std::to_string(e->Number) + " \"" + e->Title + "\")"
                          : std::string()) +
            " by more than a day; the events due in between were not run",
        "Error Determining Next Event");
    v_.NextEventIndex = DetermineNextEvent();
    DisplayNextEvent();
    return v_.NextDueAt >= 0 && now >= v_.NextDueAt;
}

void EventHandle::DisplayNextEvent() {
    try {
        view_.ClearNextList();
        if (v_.EventCount != 0) {
            const AutomationEvent& e = Current();
            view_.ShowNextEvent(NextEventRow{e.Number, e.Day, e.DayName, e.Time, e.Title});
        } else {
            view_.ShowNextEvent(NextEventRow{0, -1, " ", " ", "No Events"});
        }
    } catch (...) {
        logs_.ReportError("Error Displaying Next Event");
    }
}

// The record at NextEventIndex; fault 9 when the index lies outside the loaded events.
const AutomationEvent& EventHandle::Current() const {
    if (v_.NextEventIndex < 0 || v_.NextEventIndex >= v_.EventCount)
        RaiseSubscript();
    return At(v_.EventTable, v_.NextEventIndex);
}

}  // namespace qtx
