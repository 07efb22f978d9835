// Consuming the skip (Active 2) and one-time (Active 3) markings, in the database and in the
// event table, without a reload. Each database change is one statement in one transaction:
// every row of the event changes, or none does.
#include "common/Checked.h"
#include "common/FileSystem.h"
#include "database/DBEngine.h"
#include "engine/EventHandle.h"

namespace qtx {

namespace {

// Runs sql (with ?1 the event's Number) in one write transaction, then records the file's new
// time and change counter as the engine's own only when no other program committed since the
// last load: the write lock is held from before the check to the commit, and the counter after
// the commit must be exactly one more. Otherwise the recorded time is cleared so that the watch
// reloads the file.
void ChangeRowsOfEvent(DBEngine& engine, Variables& v, const char* sql, int16_t number) {
    Database db = engine.OpenDatabase(v.DBPath);
    db.BeginTrans();
    const uint32_t counter = db.ChangeCounter();
    const bool onlyOurs =
        v.DBChangeCounter == int64_t{counter} && FileTimeText(v.DBPath) == v.DBFileTime;
    const int64_t changed = db.Execute(sql, {DbValue(number)});
    db.CommitTrans();
    if (!onlyOurs) {
        v.DBFileTime.clear();
    } else if (changed > 0) {
        // The time first, then the counter: an unchanged counter vouches for the time.
        const std::string time = FileTimeText(v.DBPath);
        const uint32_t after = db.ChangeCounter();
        if (after == counter + 1) {
            v.DBFileTime = time;
            v.DBChangeCounter = after;
        } else {
            v.DBFileTime.clear();
        }
    }
    db.Close();
}

}  // namespace

void EventHandle::UpdateSkipEvent() {
    try {
        const int16_t number = Current().Number;
        ChangeRowsOfEvent(db_, v_, "UPDATE Automation SET Active = 1 WHERE Number = ?1", number);
        for (int16_t i = 0; i < v_.EventCount; ++i) {
            AutomationEvent& r = At(v_.EventTable, i);
            if (r.Number == number)
                r.Active = 1;
        }
    } catch (...) {
        logs_.ReportError("Error Updating Skip Event");
    }
}

void EventHandle::DeleteOneTimeEvent() {
    try {
        const int16_t number = Current().Number;
        ChangeRowsOfEvent(db_, v_, "DELETE FROM Automation WHERE Number = ?1", number);
        v_.EventTable.erase(v_.EventTable.begin() + v_.NextEventIndex);
        v_.EventCount = ToInt16(v_.EventCount - 1);
        // The advance that follows lands on the record that moved into the freed place.
        if (v_.EventCount > 0)
            v_.NextEventIndex = ToInt16(v_.NextEventIndex - 1);
    } catch (...) {
        logs_.ReportError("Error Deleting One Time Event");
    }
}

}  // namespace qtx
