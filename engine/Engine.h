#pragma once
// The engine: owns the state and every module, and offers the main window's handlers (start-up,
// tick, exit) to whichever window drives it (the Qt desktop window or the headless service).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "ui/MainWindow.h"

namespace qtx {

class DBEngine;
class DiskWork;
class TcpComm;
class MessageEvents;
class EventHandle;
class Confirmations;
class EngineAlarms;
namespace cluster {
class RunGate;
}

class Engine {
  public:
    // appDir is the program's folder (the database, the logs and the help file live there).
    Engine(Clock& clock, EventLoop& loop, MainWindow& view, std::string appDir);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Starts the engine: help set-up, caption, paths, load, next event, links; arms the 500 ms
    // tick (phase-aligned to just after each wall-clock second).
    void Form_Load();
    // Asks the exit question; returns true when the operator cancelled (the engine runs on).
    bool Form_QueryUnload();
    // Closes the help window and unloads every window.
    void Form_Unload();
    // Removes the notification-area icon and stops the tick.
    void Form_Terminate();
    // One scheduler tick.
    void tmrTimer_Timer();

    // The Setup window's OK: stores StartMin and TaskViewDB and reloads when the folder changed.
    // Returns false when it failed ("Error Updating DB Info" reported; the window stays open).
    bool ApplySetup(bool startMinimized, const std::string& taskViewText);

    // True while an event is being executed; the Setup window's OK and the exit path wait.
    bool Busy() const { return vars_.ExecutionInProgress; }

    // Called at the end of every tick (the service's watchdog keep-alive, for example).
    std::function<void()> AfterTick;
    // Off: the tick does not look for changes of the database file. Only for a file no other
    // program changes (the preview's private copy): the engine records its own writes, so the
    // watch would never reload it, and looking costs two file-system calls every third tick.
    bool WatchesDatabaseFile = true;
    // Called when a run's crosspoint command has been confirmed or not on a link (or superseded,
    // or when a run had nothing to confirm), after the view was told: the values behind the
    // history row's confirmation. Set it before Form_Load.
    std::function<void(const ConfirmOutcome&)> ConfirmOutcomeHook;
    // Off: crosspoint commands are not confirmed (the preview, whose timers never fire).
    void SetConfirming(bool on);
    // Off: no alarms are raised, kept or delivered (the preview's engine).
    bool RaisesAlarms = true;
    // The gate to a group of engines (main and backup) instead of the one the program folder's
    // qtx-cluster.conf opens. Set it before Form_Load (tests).
    void UseGate(std::unique_ptr<cluster::RunGate> gate);
    // Called when the engine's role in its group changed (the service's journal). Never for an
    // engine alone.
    std::function<void(const state::RoleState&)> RoleSeen;

    Variables& Vars() { return vars_; }
    Logs& Log() { return logs_; }
    Clock& GetClock() { return clock_; }
    EventLoop& Loop() { return loop_; }
    MainWindow& View() { return view_; }
    DBEngine& Db() { return *db_; }
    DiskWork& Disk() { return *disk_; }
    TcpComm& Tcp() { return *tcp_; }
    MessageEvents& Messages() { return *messages_; }
    EventHandle& Events() { return *events_; }
    Confirmations& Confirming() { return *confirm_; }
    EngineAlarms& Alarms() { return *alarms_; }

  private:
    // The database watch of the tick: pending markings written, reload on a changed file time,
    // empty on a vanished file.
    void WatchDatabase();
    // The group's word at each tick: a changed role shown, told and alarmed; runs other members
    // left unfinished reported.
    void WatchRole();
    void ReportUnfinished();
    void ReportScheduleNotices();

    Clock& clock_;
    EventLoop& loop_;
    MainWindow& view_;
    Variables vars_;
    Logs logs_;
    std::unique_ptr<DBEngine> db_;
    std::unique_ptr<DiskWork> disk_;
    std::unique_ptr<TcpComm> tcp_;
    std::unique_ptr<MessageEvents> messages_;
    std::unique_ptr<Confirmations> confirm_;  // before events_, which uses it
    std::unique_ptr<EventHandle> events_;
    std::unique_ptr<EngineAlarms> alarms_;
    std::unique_ptr<cluster::RunGate> gate_;  // none: the engine runs alone
    std::optional<state::RoleState> shownRole_;
    std::string loggedReason_;  // the no-leader reason last written to the error log
    EventLoop::TimerId tickTimer_ = -1;
    std::string programDir_;
};

}  // namespace qtx
