// Consuming the skip (Active 2) and one-time (Active 3) markings, in the database and in the
// event table, without a reload. Each database change is one statement in one transaction:
// every row of the event changes, or none does.
//
// A marking is consumed in the table even when the file cannot be written at that moment (a
// lock held longer than the engine waits, a read-only file): the write is kept as a pending
// marking, reported once, and made at the next chance; until then every table read from the
// file gets the marking again. It is written only to the event as it was consumed: when
// another program changed the event's rows meanwhile, that edit stands and the marking is
// dropped unwritten, so no marking is ever applied twice or to an event it was not meant for.
#include <algorithm>

#include "common/Checked.h"
#include "common/FileSystem.h"
#include "database/DBEngine.h"
#include "engine/EventHandle.h"

namespace qtx {

namespace {

using Kind = PendingMarking::Kind;

const char* SqlOf(Kind what) {
    return what == Kind::Skip ? "UPDATE Automation SET Active = 1 WHERE Number = ?1"
                              : "DELETE FROM Automation WHERE Number = ?1";
}

// The engine's own commit moved the file from the recorded state to (time, counter): pending
// markings vouched for the old state are vouched for the new one (the commit touched only the
// rows of its own event).
void RecordOwnCommit(Variables& v, const std::string& time, int64_t counter) {
    for (PendingMarking& p : v.PendingMarkings)
        if (p.VouchedTime == v.DBFileTime && p.VouchedCounter == v.DBChangeCounter &&
            !v.DBFileTime.empty()) {
            p.VouchedTime = time;
            p.VouchedCounter = counter;
        }
    v.DBFileTime = time;
    v.DBChangeCounter = counter;
}

// Runs sql (with ?1 the event's Number) in one write transaction, then records the file's new
// time and change counter as the engine's own only when no other program committed since the
// last load: the write lock is held from before the check to the commit, and the counter after
// the commit must be exactly one more. Otherwise the recorded time is cleared so that the watch
// reloads the file. Faults when the file cannot be written.
void ChangeRowsOfEvent(Database& db, Variables& v, const char* sql, int16_t number) {
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
        if (after == counter + 1)
            RecordOwnCommit(v, time, after);
        else
            v.DBFileTime.clear();
    }
}

// The first write of a marking, waiting the usual time for the file.
void WriteMarking(DBEngine& engine, Variables& v, Kind what, int16_t number) {
    Database db = engine.OpenDatabase(v.DBPath);
    db.BeginTrans();
    ChangeRowsOfEvent(db, v, SqlOf(what), number);
    db.Close();
}

// A pending marking's write: made only when the file is still in the state the event was
// vouched for. Returns false when it is not (the watch then reloads and checks the event).
bool WritePending(DBEngine& engine, Variables& v, const PendingMarking& p) {
    Database db = engine.OpenDatabase(v.DBPath);
    db.SetLockWait(DBEngine::RetryWaitMs);
    db.BeginTrans();
    const int64_t counter = db.ChangeCounter();
    const std::string time = FileTimeText(v.DBPath);
    if (p.VouchedTime.empty() || counter != p.VouchedCounter || time != p.VouchedTime) {
        db.Rollback();
        db.Close();
        // A state the engine has not read makes the watch reload; a state it has read (a load
        // that failed after taking it) waits for the next change of the file.
        if (counter != v.DBChangeCounter || time != v.DBFileTime)
            v.DBFileTime.clear();
        return false;
    }
    ChangeRowsOfEvent(db, v, SqlOf(p.What), p.Number);
    db.Close();
    return true;
}

std::vector<AutomationEvent> RecordsOf(const Variables& v, int16_t number) {
    std::vector<AutomationEvent> out;
    for (int16_t i = 0; i < v.EventCount; ++i)
        if (At(v.EventTable, i).Number == number)
            out.push_back(At(v.EventTable, i));
    return out;
}

auto FindPending(Variables& v, Kind what, int16_t number) {
    return std::find_if(
        v.PendingMarkings.begin(), v.PendingMarkings.end(),
        [&](const PendingMarking& p) { return p.What == what && p.Number == number; });
}

void DropPending(Variables& v, Kind what, int16_t number) {
    const auto it = FindPending(v, what, number);
    if (it != v.PendingMarkings.end())
        v.PendingMarkings.erase(it);
}

// Keeps a marking whose write failed, with the event's records as they are in the table;
// false when it was already kept (reported then).
bool KeepPending(Variables& v, Kind what, int16_t number) {
    if (FindPending(v, what, number) != v.PendingMarkings.end())
        return false;
    v.PendingMarkings.push_back(PendingMarking{what, number, RecordsOf(v, number), v.DBFileTime,
                                               v.DBChangeCounter, v.TableLoads});
    return true;
}

void SetActive(Variables& v, int16_t number) {
    for (int16_t i = 0; i < v.EventCount; ++i) {
        AutomationEvent& r = At(v.EventTable, i);
        if (r.Number == number)
            r.Active = 1;
    }
}

}  // namespace

void EventHandle::UpdateSkipEvent() {
    try {
        const int16_t number = Current().Number;
        try {
            WriteMarking(db_, v_, Kind::Skip, number);
            DropPending(v_, Kind::Skip, number);
        } catch (...) {
            // The table is as it was before the write: the records are taken only when kept.
            if (KeepPending(v_, Kind::Skip, number))
                logs_.ReportError("Error Updating Skip Event");
        }
        SetActive(v_, number);
    } catch (...) {
        logs_.ReportError("Error Updating Skip Event");
    }
}

void EventHandle::DeleteOneTimeEvent() {
    try {
        const int16_t number = Current().Number;
        try {
            WriteMarking(db_, v_, Kind::OneTime, number);
            DropPending(v_, Kind::OneTime, number);
        } catch (...) {
            // The table is as it was before the write: the records are taken only when kept.
            if (KeepPending(v_, Kind::OneTime, number))
                logs_.ReportError("Error Deleting One Time Event");
        }
        v_.EventTable.erase(v_.EventTable.begin() + v_.NextEventIndex);
        v_.EventCount = ToInt16(v_.EventCount - 1);
        // The advance that follows lands on the record that moved into the freed place.
        if (v_.EventCount > 0)
            v_.NextEventIndex = ToInt16(v_.NextEventIndex - 1);
    } catch (...) {
        logs_.ReportError("Error Deleting One Time Event");
    }
}

void EventHandle::WritePendingMarkings() {
    std::vector<PendingMarking>& pending = v_.PendingMarkings;
    while (!pending.empty()) {
        try {
            if (!WritePending(db_, v_, pending.front()))
                return;
        } catch (...) {
            // Still not writable: the marking was reported when it was kept, and stays kept.
            return;
        }
        pending.erase(pending.begin());
    }
}

void EventHandle::ReapplyPendingMarkings() {
    std::vector<PendingMarking>& pending = v_.PendingMarkings;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->AppliedToLoad == v_.TableLoads) {
            ++it;  // no new table: the one in memory has the marking already
            continue;
        }
        if (RecordsOf(v_, it->Number) != it->Records) {
            it = pending.erase(it);  // changed or deleted by another program: its word stands
            continue;
        }
        if (it->What == Kind::Skip) {
            SetActive(v_, it->Number);
        } else {
            const int16_t number = it->Number;
            const auto end = v_.EventTable.begin() + v_.EventCount;
            const auto kept = std::remove_if(v_.EventTable.begin(), end,
                                             [&](const auto& r) { return r.Number == number; });
            v_.EventCount = ToInt16(v_.EventCount - (end - kept));
            v_.EventTable.erase(kept, end);
        }
        it->VouchedTime = v_.DBFileTime;
        it->VouchedCounter = v_.DBChangeCounter;
        it->AppliedToLoad = v_.TableLoads;
        ++it;
    }
}

}  // namespace qtx
