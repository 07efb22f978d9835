#pragma once
// The engine's alarms: link-down when a link (or its switcher) stays down longer than
// LinkAlarmAfter, event-refused for a run refused because a link or the switcher was
// unavailable, error-logged for error-log entries (one a minute per location, the rest counted
// in the next), take-not-confirmed from a confirmation's outcome. They are kept in the program
// folder's Alarms.json, passed to the view (the state channel) and handed to delivery, whose
// thread does the sending; nothing here waits on a receiver. Times run on the clock seam.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "alarms/AlarmDesk.h"
#include "common/Clock.h"
#include "common/Variables.h"
#include "database/DBEngine.h"
#include "logging/Logs.h"
#include "ui/MainWindow.h"

namespace qtx {

inline constexpr const char* AlarmFileName = "Alarms.json";

class EngineAlarms {
  public:
    EngineAlarms(Variables& vars, Logs& logs, MainWindow& view, Clock& clock, DBEngine& db,
                 alarms::DeliveryOptions delivery = {});
    ~EngineAlarms();
    EngineAlarms(const EngineAlarms&) = delete;
    EngineAlarms& operator=(const EngineAlarms&) = delete;

    // After the first load: reads Alarms.json, shows what it holds, reads the routes.
    void Start();
    // The routes and LinkAlarmAfter again (after the database file changed). Never throws.
    void ReadDatabase();
    // Each tick: the links' watch, the per-minute error windows, queued error-log entries.
    void Tick();
    void Outcome(const EventOutcome& outcome);
    void ErrorEntry(const std::string& location, const std::string& faultText);
    // A confirmation's end: not confirmed raises take-not-confirmed for that run and link;
    // confirmed clears the event's earlier ones on the link; superseded and sent raise nothing.
    void Confirmation(const ConfirmOutcome& outcome);
    // The engine's role in its group: no-leader raised while there is none, cleared otherwise.
    void Role(const state::RoleState& role);
    // This member's change of a shared thing (about: "event 12 \"Title\"") lost to another
    // member's made at the same time: edit-overwritten.
    void EditOverwritten(const std::string& about, const std::string& text);

    int LinkAlarmAfterSeconds() const { return linkAlarmAfterS_; }
    alarms::AlarmDesk* Desk() { return desk_.get(); }

  private:
    struct ErrorWindow {
        int64_t StartMs = 0;
        int Suppressed = 0;
        std::string LastText;
    };
    int64_t NowMs();
    void WatchLink(int link, bool up, const char* why);
    void RaiseError(const std::string& location, const std::string& text, int more);
    void FlushQueuedErrors();

    Variables& v_;
    Logs& logs_;
    MainWindow& view_;
    Clock& clock_;
    DBEngine& db_;
    alarms::DeliveryOptions deliveryOptions_;
    std::unique_ptr<alarms::AlarmDesk> desk_;
    int linkAlarmAfterS_ = 10;
    uint32_t lastTick_ = 0;
    int64_t elapsedMs_ = 0;
    int64_t downSince_[2] = {-1, -1};  // -1: up
    std::map<std::string, ErrorWindow> errorWindows_;
    std::mutex queuedMutex_;  // entries from the delivery thread, written on the engine's
    std::vector<std::pair<std::string, std::string>> queuedErrors_;
};

}  // namespace qtx
