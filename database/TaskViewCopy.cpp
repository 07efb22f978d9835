// The copy of the events kept for the separate task-viewer program, and its compaction. The
// work runs on the task-view thread with connections of its own; the engine's thread only
// queues it and reports its faults.
#include <sys/stat.h>

#include <unistd.h>

#include <cstdio>

#include "common/Constants.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "database/Connection.h"
#include "database/DiskWork.h"
#include "database/TaskViewWorker.h"

namespace qtx {

namespace {

// The columns of Automation carried into the copy, in this order.
const char* const CarriedColumns[] = {
    "Number",      "Day",           "Days",     "Time",     "Title",     "SourceChan", "DestChan",
    "ReqSource",   "ReqDest",       "Active",   "Relay",    "Opto",      "Salvo",      "VChan",
    "Gain",        "xcontrol",      "rcontrol", "scontrol", "vcontrol",  "Type",       "Condition",
    "FileName",    "FileType",      "Message",  "mcontrol", "mtype",     "Method",     "MIPAddress",
    "MIPPort",     "MFrame",        "MSlot",    "MPort",    "MCommPort", "MBaudRate",  "tControl",
    "TriggerDest", "TriggerSource", "Color"};

// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Fault 3265 unless the table has every carried column.
void RequireCarriedColumns(const TableDef& table) {
    for (const char* name : CarriedColumns)
        if (!table.HasField(name))
            db::RaiseDb(faults::DbItemNotFound);
}

// An SQL expression over the copy's rows: 2 for a row with a number outside its column's
// range, 1 for a text longer than its column, else 0. Values go across unchanged, so they are
// checked against the copy's declared types the way a single written value is.
std::string FitCheck(const TableDef& copy) {
    std::string numbers, texts;
    for (const char* name : CarriedColumns) {
        for (const FieldDef& f : copy.Fields()) {
            if (!db::SameName(f.Name, name))
                continue;
            const std::string c = db::QuoteName(f.Name);
            const char* range = f.Type == dbtype::Byte      ? "0 AND 255"
                                : f.Type == dbtype::Integer ? "-32768 AND 32767"
                                : f.Type == dbtype::Long    ? "-2147483648 AND 2147483647"
                                                            : nullptr;
            if (range)
                numbers += std::string(numbers.empty() ? "" : " OR ") + "(typeof(" + c +
                           ") = 'integer' AND " + c + " NOT BETWEEN " + range + ")";
            if (f.Type == dbtype::Text && f.Size > 0)
                texts += std::string(texts.empty() ? "" : " OR ") + "(typeof(" + c +
                         ") = 'text' AND length(" + c + ") > " + std::to_string(f.Size) + ")";
        }
    }
    return "max(CASE WHEN " + (numbers.empty() ? "0" : numbers) + " THEN 2 WHEN " +
           (texts.empty() ? "0" : texts) + " THEN 1 ELSE 0 END)";
}

// True when copying whole rows gives the same copy as copying the carried columns: both tables
// have the same columns with the same declared types in the same order, and every column that
// is not carried is Null in the live rows. SQLite then moves the rows as they are stored.
bool WholeRowsCarryTheSame(Database& db, const TableDef& live, const TableDef& copy) {
    const auto& a = live.Fields();
    const auto& b = copy.Fields();
    if (a.size() != b.size())
        return false;
    std::string extra;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].Name != b[i].Name || a[i].DeclaredType != b[i].DeclaredType)
            return false;
        bool carried = false;
        for (const char* name : CarriedColumns)
            carried = carried || db::SameName(a[i].Name, name);
        if (!carried)
            extra += (extra.empty() ? "" : " OR ") + db::QuoteName(a[i].Name) + " IS NOT NULL";
    }
    return extra.empty() ||
           db.QueryValue("SELECT EXISTS (SELECT 1 FROM live.Automation WHERE " + extra + ")")
                   .AsNumber() == 0;
}

// CopyTaskViewDB and the compaction of CompactTaskViewDB in one pass: the refreshed copy is
// built compact in the temporary file (the copy's own tables, indexes and settings, the live
// rows of Automation in their order) and then moved into the copy's place. The copy is never
// seen half refreshed, and the rows are written once instead of three times (into the copy,
// into the compacted file, back to the copy). True when the new copy waits in the temporary
// file; false when there is nothing more to do.
bool BuildRefreshedCopy(const TaskViewJob& job, const std::atomic<bool>& cancel) {
    DBEngine engine;
    if (!NormalFileExists(job.CopyPath)) {
        // The first copy is the live file byte for byte, read through SQLite so that this
        // thread never opens the live file beside the engine's own connection.
        Database live = engine.OpenDatabase(job.LivePath);
        const std::string bytes = live.FileBytes();
        live.Close();
        WriteFileBytes(job.CopyPath, bytes);
        return false;
    }
    // A task-view folder that is the program folder would make the copy the live file:
    // emptying it would delete the events. The live file is its own copy then.
    if (SameFile(job.CopyPath, job.LivePath))
        return false;

    TableDef liveTable;
    {
        Database live = engine.OpenDatabase(job.LivePath);
        liveTable = live.TableDefs("Automation");
        RequireCarriedColumns(liveTable);
        live.Close();
    }
    Database copy = engine.OpenDatabase(job.CopyPath);
    const TableDef copyTable = copy.TableDefs("Automation");
    RequireCarriedColumns(copyTable);
    const auto schema = copy.QueryRaw(
        "SELECT type, name, sql FROM sqlite_schema WHERE sql IS NOT NULL AND name NOT LIKE "
        "'sqlite_%' ORDER BY rowid");
    const auto settings = copy.QueryRaw(
        "SELECT page_size, user_version, application_id FROM pragma_page_size, "
        "pragma_user_version, pragma_application_id");
    const bool hasSequence = copy.HasTable("sqlite_sequence");
    copy.Close();

    // A temporary file left by a failed compaction would block every later one.
    if (NormalFileExists(job.TempPath))
        DeleteFile(job.TempPath);
    Database fresh = engine.CreateDatabase(job.TempPath);
    try {
        fresh.SetCancelFlag(&cancel);
        fresh.Execute("PRAGMA page_size = " + std::to_string(settings.at(0).at(0).integer));
        fresh.Execute("VACUUM");  // an empty file takes the page size now
        // The file is new and is thrown away on any fault: it needs no journal.
        fresh.Execute("PRAGMA journal_mode = OFF");
        fresh.Attach(job.CopyPath, "old");
        fresh.Attach(job.LivePath, "live");
        fresh.BeginTrans();
        auto run = [&](const RawValue& sql) { fresh.Execute(sql.bytes); };
        for (const auto& entry : schema)
            if (entry[0].bytes == "table")
                run(entry[2]);
        std::string columns;
        for (const char* name : CarriedColumns)
            columns += std::string(columns.empty() ? "" : ", ") + db::QuoteName(name);
        for (const auto& entry : schema) {
            if (entry[0].bytes != "table")
                continue;
            const std::string table = db::QuoteName(entry[1].bytes);
            if (db::SameName(entry[1].bytes, copyTable.Name()))
                fresh.Execute(WholeRowsCarryTheSame(fresh, liveTable, copyTable)
                                  ? "INSERT INTO main.Automation SELECT * FROM live.Automation"
                                  : "INSERT INTO main.Automation (" + columns + ") SELECT " +
                                        columns + " FROM live.Automation ORDER BY rowid");
            else
                fresh.Execute("INSERT INTO main." + table + " SELECT * FROM old." + table +
                              " ORDER BY rowid");
        }
        if (hasSequence && fresh.HasTable("sqlite_sequence"))
            fresh.Execute("INSERT INTO main.sqlite_sequence SELECT * FROM old.sqlite_sequence");
        const int64_t misfit =
            fresh.QueryValue("SELECT " + FitCheck(copyTable) + " FROM main.Automation").AsNumber();
        if (misfit != 0)
            db::RaiseDb(misfit == 2 ? faults::DbNumericOverflow : faults::DbFieldTooSmall);
        for (const auto& entry : schema)
            if (entry[0].bytes != "table")
                run(entry[2]);
        fresh.Execute("PRAGMA main.user_version = " + std::to_string(settings.at(0).at(1).integer));
        fresh.Execute("PRAGMA main.application_id = " +
                      std::to_string(settings.at(0).at(2).integer));
        fresh.CommitTrans();
        fresh.Close();
    } catch (...) {
        fresh.Close();
        ::unlink(job.TempPath.c_str());  // the copy is as it was
        throw;
    }
    return true;
}

// Moves the new copy into place: a rename within one file system, else a copy.
void MoveIntoPlace(const TaskViewJob& job) {
    if (::rename(job.TempPath.c_str(), job.CopyPath.c_str()) == 0)
        return;
    DeleteFile(job.CopyPath);
    CopyFileBytes(job.TempPath, job.CopyPath);
    DeleteFile(job.TempPath);
}

DiskFault Caught(const char* location) {
    const FaultInFlight f = CurrentFault();
    return DiskFault{location, f.Number, f.Description};
}

}  // namespace

std::vector<DiskFault> RefreshTaskView(const TaskViewJob& job, const std::atomic<bool>& cancel) {
    try {
        if (!BuildRefreshedCopy(job, cancel))
            return {};
    } catch (...) {
        return {Caught("Error Copying Database")};
    }
    try {
        MoveIntoPlace(job);
    } catch (...) {
        return {Caught("Error Compacting Automation DB")};
    }
    return {};
}

std::string DiskWork::TaskViewPath() const {
    return vars_.TaskViewDir + "/" + constants::DatabaseFileName;
}

std::string DiskWork::TempCompactPath() const {
    return vars_.AppDir + constants::CompactFileName;
}

void DiskWork::CopyTaskViewDB() {
    if (!taskView_)
        taskView_ = std::make_unique<TaskViewWorker>();
    taskView_->Request(TaskViewJob{vars_.DBPath, TaskViewPath(), TempCompactPath()});
}

void DiskWork::CollectDiskWork() {
    if (!taskView_)
        return;
    for (const DiskFault& f : taskView_->TakeFaults()) {
        try {
            throw Fault(f.Number, f.Description);
        } catch (...) {
            logs_.ReportError(f.Location);
        }
    }
}

void DiskWork::FinishDiskWork() {
    if (taskView_)
        taskView_->WaitIdle();
    CollectDiskWork();
}

bool DiskWork::DiskWorkBusy() {
    return taskView_ && taskView_->Busy();
}

}  // namespace qtx
