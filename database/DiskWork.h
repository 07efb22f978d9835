#pragma once
// The engine's event-database procedures: loading the settings and the events, the schema check
// and upgrade, and the copy of the events kept for the task viewer.
#include <functional>
#include <memory>
#include <string>

#include "common/Variables.h"
#include "database/DBEngine.h"
#include "database/TaskViewWorker.h"
#include "logging/Logs.h"
#include "ui/MainWindow.h"

namespace qtx {

class DiskWork {
  public:
    DiskWork(Variables& vars, Logs& logs, MainWindow& view, DBEngine& db)
        : vars_(vars), logs_(logs), view_(view), db_(db) {}

    // Called by the loader when the server address or port changed (bound by the engine). Its
    // faults are reported under the loader's location.
    std::function<void()> ServerDisconnected;

    // Reads the settings and every event row into the engine's state, in the scheduler's order,
    // then refreshes the task-view copy. Never throws; faults go to the error log.
    void LoadAutomationDB();
    // True when the last LoadAutomationDB read the table afresh (false when a fault left the
    // table of the load before running on).
    bool TableRead = false;
    // True when addr has the dotted form (three dots, something after the third); the
    // normalised address is then in ValidIPAddr. ValidIPAddr is unchanged when false.
    bool ValidateIPAddress(const std::string& addr);
    // Brings the file at DBPath up to the current schema version. Never throws.
    void CheckDBVersion();
    // Writes or refreshes the task-view copy in TaskViewDir and compacts it through a temporary
    // file in AppDir, on the task-view thread: returns at once. Never throws; its faults are
    // reported by CollectDiskWork.
    void CopyTaskViewDB();
    // Reports the faults of the refreshes finished so far ("Error Copying Database", "Error
    // Compacting Automation DB"). Called by every tick.
    void CollectDiskWork();
    // Waits until no refresh runs or waits, then reports as CollectDiskWork.
    void FinishDiskWork();
    // True while a refresh runs or waits.
    bool DiskWorkBusy();

    std::string TaskViewPath() const;
    std::string TempCompactPath() const;

  private:
    void ReadSettings(Database& db);
    void ReadEvents(Database& db);

    Variables& vars_;
    Logs& logs_;
    MainWindow& view_;
    DBEngine& db_;
    std::unique_ptr<TaskViewWorker> taskView_;  // started at the first refresh
};

// The name shown for a Day value: Monday .. Sunday for 0 .. 6, "None" for every other value.
std::string DayNameOf(int d);

}  // namespace qtx
