#pragma once
// The console's alarms: the engine's, as its state channel tells them (kept, never delivered
// again), and the console's own engine-not-running, raised when the engine's state channel has
// been gone for 10 s and cleared when it is back, delivered through the event database's
// routes (read again when the file changes). Both kinds, and their acknowledgements, are kept
// in the program folder's ConsoleAlarms.json across restarts. A thread of its own watches; the
// console's clock seam times it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "alarms/AlarmDesk.h"
#include "common/Clock.h"
#include "console/EngineState.h"

namespace qtx::console {

class ConsoleAlarms {
  public:
    static constexpr const char* kFileName = "ConsoleAlarms.json";
    static constexpr int64_t kEngineGoneMs = 10000;

    // folder ends in "/".
    ConsoleAlarms(std::string folder, Clock& clock, const EngineState& engine);
    ~ConsoleAlarms();
    ConsoleAlarms(const ConsoleAlarms&) = delete;
    ConsoleAlarms& operator=(const ConsoleAlarms&) = delete;

    void Start();
    void Stop();

    // An alarm in its stored form from the engine; live: a change now, not a snapshot.
    void FromEngine(const nlohmann::json& stored, bool live);
    // {"active": [...], "cleared": [...]}, each alarm in the API's form, newest cleared first.
    nlohmann::json List() const;
    alarms::AlarmDesk& Desk() { return desk_; }
    // qtx_alarm_active and qtx_alarms_raised_total.
    std::string MetricsText() const;
    // Reads the routes from the event database now (after the console changed them).
    void ReadRoutes();

  private:
    void Run();

    std::string folder_, dbPath_;
    Clock& clock_;
    const EngineState& engine_;
    alarms::AlarmDesk desk_;
    std::string dbTime_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// An alarm in the API's form (the webhook's body, with acked_by and acked_at once acknowledged).
nlohmann::json AlarmApiJson(const alarms::Alarm& a);

}  // namespace qtx::console
