// Consuming the skip (Active 2) and one-time (Active 3) markings, in the database and in the
// event table, without a reload. Each database change is one transaction: every row of the
// event changes, or none does.
#include "common/Checked.h"
#include "common/FileSystem.h"
#include "database/DBEngine.h"
#include "engine/EventHandle.h"

namespace qtx {

namespace {

// The file time to keep after the engine's own change: the new one, unless another program had
// already changed the file since the last load (then the watch must still see that change).
std::string FileTimeAfterOwnChange(const std::string& path, const std::string& before,
                                   const std::string& known) {
    return before == known ? FileTimeText(path) : known;
}

// Applies change to every Automation row whose Number is number, in one transaction.
template <class Change>
void ChangeRowsOfEvent(DBEngine& engine, const std::string& path, int16_t number, Change change) {
    Database db = engine.OpenDatabase(path);
    db.BeginTrans();
    Recordset rs = db.OpenRecordset("Automation");
    if (!rs.IsEOF())
        rs.MoveFirst();
    while (!rs.IsEOF()) {
        if (rs.Value("Number").AsNumber() == number)
            change(rs);
        rs.MoveNext();
    }
    rs.Close();
    db.CommitTrans();
    db.Close();
}

}  // namespace

void EventHandle::UpdateSkipEvent() {
    try {
        const int16_t number = Current().Number;
        const std::string before = FileTimeText(v_.DBPath);
        ChangeRowsOfEvent(db_, v_.DBPath, number, [](Recordset& rs) {
            rs.Edit();
            rs.SetValue("Active", DbValue(int16_t{1}));
            rs.Update();
        });
        for (int16_t i = 0; i < v_.EventCount; ++i) {
            AutomationEvent& r = At(v_.EventTable, i);
            if (r.Number == number)
                r.Active = 1;
        }
        // The engine's own change is not an outside edit: the tick must not reload for it.
        v_.DBFileTime = FileTimeAfterOwnChange(v_.DBPath, before, v_.DBFileTime);
    } catch (...) {
        logs_.ReportError("Error Updating Skip Event");
    }
}

void EventHandle::DeleteOneTimeEvent() {
    try {
        const int16_t number = Current().Number;
        const std::string before = FileTimeText(v_.DBPath);
        ChangeRowsOfEvent(db_, v_.DBPath, number, [](Recordset& rs) { rs.Delete(); });
        v_.DBFileTime = FileTimeAfterOwnChange(v_.DBPath, before, v_.DBFileTime);
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
