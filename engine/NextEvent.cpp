// Choosing the next event from scratch (start-up and after a reload) and showing it.
#include "common/Checked.h"
#include "common/Format.h"
#include "engine/EventHandle.h"

namespace qtx {

int16_t EventHandle::DetermineNextEvent() {
    try {
        if (v_.EventCount == 0) {
            DisplayNextEvent();
            return 0;
        }
        if (v_.EventCount == 1)
            return 0;
        const int64_t nowStamp = v_.CurrentDayNumber * 86400 + v_.CurrentTime;
        for (int16_t i = 0; i < v_.EventCount; ++i) {
            const AutomationEvent& r = At(v_.EventTable, i);
            if (r.Time == "24:00:00")
                continue;
            if (r.Type == 1 || r.Type == 2)
                continue;
            if (r.Day == v_.TodayIndex) {
                const TimeOfDay t = ParseTimeOfDay(r.Time);
                // An event of the second that has just been executed is not chosen again
                // when a reload falls into that same second.
                if (t == v_.CurrentTime && v_.LastExecutedAt == nowStamp)
                    continue;
                if (t >= v_.CurrentTime)
                    return i;
            } else if (r.Day > v_.TodayIndex && r.Day != 7) {
                return i;
            }
        }
        return 0;
    } catch (...) {
        logs_.ReportError("Error Determining Next Event");
        return 0;
    }
}

void EventHandle::DisplayNextEvent() {
    try {
        view_.ClearNextList();
        if (v_.EventCount != 0) {
            const AutomationEvent& e = Current();
            view_.AddNextRow(e.DayName, e.Time, e.Title);
        } else {
            view_.AddNextRow(" ", " ", "No Events");
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
