// The copy of the events kept for the separate task-viewer program, and its compaction. The
// work runs on the task-view thread with connections of its own; the engine's thread only
// queues it and reports its faults.
#include <sys/stat.h>

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

// CopyTaskViewDB: true when a refresh of the rows was made (the compaction follows).
bool CopyRows(const TaskViewJob& job, const std::atomic<bool>& cancel) {
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

    {
        Database live = engine.OpenDatabase(job.LivePath);
        RequireCarriedColumns(live.TableDefs("Automation"));
        live.Close();
    }
    Database copy = engine.OpenDatabase(job.CopyPath);
    copy.SetCancelFlag(&cancel);
    const TableDef copyTable = copy.TableDefs("Automation");
    RequireCarriedColumns(copyTable);
    std::string columns;
    for (const char* name : CarriedColumns)
        columns += std::string(columns.empty() ? "" : ", ") + db::QuoteName(name);

    copy.Attach(job.LivePath, "live");
    // The refresh is one transaction: a fault part-way leaves the previous copy whole.
    copy.BeginTrans();
    copy.Execute("DELETE FROM main.Automation");
    copy.Execute("INSERT INTO main.Automation (" + columns + ") SELECT " + columns +
                 " FROM live.Automation ORDER BY rowid");
    const int64_t misfit =
        copy.QueryValue("SELECT " + FitCheck(copyTable) + " FROM main.Automation").AsNumber();
    if (misfit != 0)
        db::RaiseDb(misfit == 2 ? faults::DbNumericOverflow : faults::DbFieldTooSmall);
    copy.CommitTrans();
    copy.Close();
    return true;
}

// CompactTaskViewDB.
void Compact(const TaskViewJob& job) {
    DBEngine engine;
    // A temporary file left by a failed compaction would block every later one.
    if (NormalFileExists(job.TempPath))
        DeleteFile(job.TempPath);
    engine.CompactDatabase(job.CopyPath, job.TempPath);
    DeleteFile(job.CopyPath);
    // Moving the compacted file into place writes it once; across file systems it is copied.
    if (::rename(job.TempPath.c_str(), job.CopyPath.c_str()) != 0) {
        CopyFileBytes(job.TempPath, job.CopyPath);
        DeleteFile(job.TempPath);
    }
}

DiskFault Caught(const char* location) {
    const FaultInFlight f = CurrentFault();
    return DiskFault{location, f.Number, f.Description};
}

}  // namespace

std::vector<DiskFault> RefreshTaskView(const TaskViewJob& job, const std::atomic<bool>& cancel) {
    try {
        if (!CopyRows(job, cancel))
            return {};
    } catch (...) {
        return {Caught("Error Copying Database")};
    }
    try {
        Compact(job);
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
