// The copy of the events kept for the separate task-viewer program, and its compaction.
#include <sys/stat.h>

#include "common/Constants.h"
#include "common/FileSystem.h"
#include "database/DiskWork.h"

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

}  // namespace

std::string DiskWork::TaskViewPath() const {
    return vars_.TaskViewDir + "/" + constants::DatabaseFileName;
}

std::string DiskWork::TempCompactPath() const {
    return vars_.AppDir + constants::CompactFileName;
}

void DiskWork::CopyTaskViewDB() {
    try {
        const std::string copyPath = TaskViewPath();
        if (!NormalFileExists(copyPath)) {
            CopyFileBytes(vars_.DBPath, copyPath);
            return;
        }
        // A task-view folder that is the program folder would make the copy the live file:
        // emptying it would delete the events. The live file is its own copy then.
        if (SameFile(copyPath, vars_.DBPath))
            return;

        Database live = db_.OpenDatabase(vars_.DBPath);
        Recordset from = live.OpenRecordset("Automation");
        Database copy = db_.OpenDatabase(copyPath);
        Recordset to = copy.OpenRecordset("Automation");

        // The refresh is one transaction: a fault part-way leaves the previous copy whole.
        copy.BeginTrans();
        while (!to.IsEOF()) {
            to.Delete();
            to.MoveNext();
        }
        std::vector<std::pair<int, int>> columns;  // (live index, copy index)
        for (const char* name : CarriedColumns)
            columns.emplace_back(from.FieldIndex(name), to.FieldIndex(name));
        while (!from.IsEOF()) {
            to.AddNew();
            for (const auto& [f, t] : columns)
                to.SetRaw(t, from.Raw(f));
            to.Update();
            from.MoveNext();
        }
        copy.CommitTrans();

        from.Close();
        to.Close();
        live.Close();
        copy.Close();
    } catch (...) {
        logs_.ReportError("Error Copying Database");
        return;
    }
    CompactTaskViewDB();
}

void DiskWork::CompactTaskViewDB() {
    try {
        const std::string copyPath = TaskViewPath();
        const std::string temp = TempCompactPath();
        // A temporary file left by a failed compaction would block every later one.
        if (NormalFileExists(temp))
            DeleteFile(temp);
        db_.CompactDatabase(copyPath, temp);
        DeleteFile(copyPath);
        CopyFileBytes(temp, copyPath);
        DeleteFile(temp);
    } catch (...) {
        logs_.ReportError("Error Compacting Automation DB");
    }
}

}  // namespace qtx
