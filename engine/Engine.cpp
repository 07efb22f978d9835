#include "engine/Engine.h"

#include "cluster/RunGate.h"
#include "common/Checked.h"
#include "common/Constants.h"
#include "common/FileSystem.h"
#include "common/Format.h"
#include "database/DBEngine.h"
#include "database/DiskWork.h"
#include "engine/Confirmations.h"
#include "engine/EngineAlarms.h"
#include "engine/EventHandle.h"
#include "messages/MessageEvents.h"
#include "switcher/TcpComm.h"

namespace qtx {

Engine::Engine(Clock& clock, EventLoop& loop, MainWindow& view, std::string appDir)
    : clock_(clock), loop_(loop), view_(view), logs_(vars_, clock), programDir_(std::move(appDir)) {
    db_ = std::make_unique<DBEngine>();
    disk_ = std::make_unique<DiskWork>(vars_, logs_, view_, *db_);
    tcp_ = std::make_unique<TcpComm>(vars_, logs_, view_, loop_);
    messages_ = std::make_unique<MessageEvents>(vars_, logs_, clock_, loop_, *tcp_);
    confirm_ = std::make_unique<Confirmations>(vars_, logs_, view_, loop_, *tcp_);
    events_ = std::make_unique<EventHandle>(vars_, logs_, view_, clock_, *db_, *tcp_, *messages_);
    events_->Confirming = confirm_.get();
    tcp_->CrosspointsShown = [this](int16_t link, int16_t first, int16_t count, bool fromMap) {
        confirm_->Shown(link, first, count, fromMap);
    };
    confirm_->Ended = [this](const ConfirmOutcome& o) {
        alarms_->Confirmation(o);
        if (ConfirmOutcomeHook)
            ConfirmOutcomeHook(o);
    };
    disk_->ServerDisconnected = [this] { tcp_->ServerDisconnected(); };
    alarms_ = std::make_unique<EngineAlarms>(vars_, logs_, view_, clock_, *db_);
    events_->OutcomeSeen = [this](const EventOutcome& o) { alarms_->Outcome(o); };
    logs_.ErrorSeen = [this](const std::string& location, const std::string& text) {
        alarms_->ErrorEntry(location, text);
    };
}

void Engine::SetConfirming(bool on) {
    confirm_->Enabled = on;
}

Engine::~Engine() {
    if (tickTimer_ >= 0)
        loop_.DeleteTimer(tickTimer_);
}

void Engine::Form_Load() {
    std::string dir = programDir_;
    if (dir.empty() || dir.back() != '/')
        dir += '/';

    IgnoreFileSizeSignal();  // a file-size limit fails writes instead of killing the engine
    view_.HelpSetup(dir + constants::HelpFileName);
    ShowLink(view_, state::LinkState::ServerNotConnected);
    vars_.AppDir = dir;
    vars_.DBPath = vars_.AppDir + constants::DatabaseFileName;

    const LocalDateTime now = clock_.Now();
    view_.SetPanelText(2, FormatLongDate(now) + " ");
    view_.SetPanelText(3, FormatHhMmSsAmPm(now));

    disk_->LoadAutomationDB();
    events_->PrepareTable(disk_->TableRead);
    if (RaisesAlarms)
        alarms_->Start();
    // A folder with a group file makes the engine a member of a group; without one it runs
    // alone and asks nobody.
    if (!gate_)
        gate_ = cluster::OpenGroup(programDir_);
    events_->Gate = gate_.get();
    if (gate_)
        WatchRole();
    if (vars_.StartMinimized)
        view_.Minimize();

    const LocalDateTime later = clock_.Now();
    vars_.CurrentTime = later.SecondsOfDay();
    vars_.TodayIndex = later.MondayIndex();
    vars_.CurrentDayNumber = DaysFromCivil(later.Year, later.Month, later.Day);
    vars_.NextEventIndex = events_->DetermineNextEvent();
    events_->DisplayNextEvent();

    tcp_->ResetCrosspointMaps();
    tcp_->ConnectServer();
    tcp_->LoadSlaveSocket();
    tcp_->ConnectSlave();

    // The 500 ms tick, aligned to fire just after each wall-clock second and half second, so
    // an event's frames leave within milliseconds of its second.
    if (tickTimer_ < 0)
        tickTimer_ = loop_.AddTimer(constants::TickPeriodMs, constants::TickPhaseMs,
                                    [this] { tmrTimer_Timer(); });
}

bool Engine::Form_QueryUnload() {
    const MessageBoxAnswer answer = view_.ShowMessageBox(
        "Do You Wish To Exit?\rScheduled Events Will Not Run!", " Confirm Exit",
        MessageBoxKind::Information, MessageBoxButtons::OkCancel);
    return answer == MessageBoxAnswer::Cancel;
}

void Engine::Form_Unload() {
    view_.HelpClose();
    view_.UnloadAllWindows();
}

void Engine::Form_Terminate() {
    view_.TrayDelete();
    if (tickTimer_ >= 0)
        loop_.DeleteTimer(tickTimer_);
    tickTimer_ = -1;
}

void Engine::tmrTimer_Timer() {
    try {
        // A tick that faulted skipped the reset below; holding the counter at 3 keeps the
        // every-third-tick work running at each tick without the 16-bit counter overflowing.
        vars_.TickCounter = vars_.TickCounter > 2 ? int16_t{3} : ToInt16(vars_.TickCounter + 1);

        // One clock reading for the day and the second, so the two always belong together.
        const LocalDateTime now = clock_.Now();
        view_.SetPanelText(2, FormatLongDate(now) + " ");
        view_.SetPanelText(3, FormatHhMmSs(now));

        // While an execution runs (the IP sender pumps the loop) its "now" stays fixed, and the
        // database watch and the due test wait for a later tick.
        const bool executing = vars_.ExecutionInProgress;
        if (!executing) {
            vars_.CurrentTime = now.SecondsOfDay();
            vars_.TodayIndex = now.MondayIndex();
            vars_.CurrentDayNumber = DaysFromCivil(now.Year, now.Month, now.Day);
        }

        if (!vars_.ServerConnected)
            tcp_->ConnectServer();
        if (vars_.SlaveEnabled && !vars_.SlaveConnected)
            tcp_->ConnectSlave();

        if (!executing && vars_.TickCounter > 2 && WatchesDatabaseFile)
            WatchDatabase();

        if (gate_) {
            // From the first tick on: at start-up the links are not up yet, and a member that
            // says "down" then would step aside for nothing.
            gate_->ReportLink(vars_.ServerConnected && vars_.SwitcherConnected,
                              vars_.LinkAlarmAfterS);
            WatchRole();
        }

        if (!executing && vars_.EventCount != 0) {
            if (vars_.NextEventIndex < 0 || vars_.NextEventIndex >= vars_.EventCount)
                RaiseSubscript();
            if (events_->NextEventIsDue())
                events_->ExecuteEvent();
        }

        // Whatever has arrived whole (a bounded number per link and tick).
        if (!vars_.RecvBuffer[0].empty())
            tcp_->ProcessPending(0);
        if (!vars_.RecvBuffer[1].empty())
            tcp_->ProcessPending(1);

        disk_->CollectDiskWork();  // faults of the task-view refresh, reported on this thread
        if (vars_.TickCounter > 2)
            tcp_->PollLinks();
        if (vars_.TickCounter > 2)
            vars_.TickCounter = 0;
        alarms_->Tick();
    } catch (...) {
        logs_.ReportError("Error Determining Next Event");
    }
    if (AfterTick)
        AfterTick();
}

void Engine::WatchDatabase() {
    if (NormalFileExists(vars_.DBPath)) {
        // Markings that could not be written before go first; one that finds the file changed
        // by another program clears the recorded time, so the reload below checks its event.
        events_->WritePendingMarkings();
        const std::string fileTime = FileTimeText(vars_.DBPath);
        if (vars_.DBFileTime.empty() || fileTime != vars_.DBFileTime) {
            disk_->LoadAutomationDB();
            events_->PrepareTable(disk_->TableRead);
            vars_.NextEventIndex = events_->DetermineNextEvent();
            events_->DisplayNextEvent();
            alarms_->ReadDatabase();
        }
    } else if (vars_.EventCount != 0) {
        vars_.EventCount = 0;
        vars_.NextDueAt = -1;
        events_->DisplayNextEvent();
        view_.SetPanelText(1, "0 Total Events");
        vars_.DBFileTime.clear();
    }
}

bool Engine::ApplySetup(bool startMinimized, const std::string& taskViewText) {
    // Setup's OK waits while an execution is in progress; the window stays open.
    if (Busy())
        return false;
    try {
        bool folderChanged = false;
        if (taskViewText != vars_.TaskViewDir) {
            vars_.TaskViewDir = taskViewText;
            folderChanged = true;
        }
        vars_.StartMinimized = startMinimized;
        {
            Database db = db_->OpenDatabase(vars_.DBPath);
            Recordset info = db.OpenRecordset("Info");
            info.Edit();
            info.SetValue("StartMin", DbValue(int64_t{vars_.StartMinimized ? -1 : 0}));
            info.Update();
            info.Close();
            Recordset server = db.OpenRecordset("Server");
            server.Edit();
            server.SetValue("TaskViewDB", DbValue(vars_.TaskViewDir));
            server.Update();
            server.Close();
            db.Close();
        }
        if (folderChanged) {
            disk_->LoadAutomationDB();
            events_->PrepareTable(disk_->TableRead);
            // The reload leaves the index at 0; choose the next event again so the engine does
            // not wait at the first record for up to a week.
            vars_.NextEventIndex = events_->DetermineNextEvent();
            events_->DisplayNextEvent();
        }
        return true;
    } catch (...) {
        logs_.ReportError("Error Updating DB Info");
        return false;
    }
}

}  // namespace qtx
