#pragma once
// The alarms one program raises, clears and knows: the active ones and the last cleared ones,
// kept in a file of the program folder across restarts, handed to delivery as they change, and
// counted for the metrics. An alarm already raised (the same kind about the same thing) is not
// raised again. Alarms another program raised (the engine's, as the console sees them) are
// recorded by id and never delivered again. Safe to use from several threads.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alarms/Alarm.h"
#include "alarms/AlarmFileWriter.h"
#include "alarms/AlarmStore.h"
#include "alarms/Delivery.h"
#include "common/Clock.h"

namespace qtx::alarms {

inline constexpr size_t RecentAlarmLimit = 100;

class AlarmDesk {
  public:
    // file: the program folder's alarm file; engine: "HOST:/folder/". errorLog receives the
    // desk's own faults (the file) and delivery's entries, on whichever thread they happen.
    AlarmDesk(Clock& clock, std::string file, std::string engine, AlarmDelivery::ErrorLog errorLog,
              DeliveryOptions delivery = {});
    ~AlarmDesk();
    AlarmDesk(const AlarmDesk&) = delete;
    AlarmDesk& operator=(const AlarmDesk&) = delete;

    // Reads the file (a damaged one is reported and replaced at the next change).
    void Load();
    // The routes to deliver to; delivery restarts only when they differ from the current ones.
    void SetRoutes(std::vector<AlarmRoute> routes);

    std::optional<Alarm> Raise(AlarmKind kind, const std::string& about, std::string text,
                               std::optional<AlarmEvent> event = std::nullopt,
                               std::optional<int> link = std::nullopt);
    std::optional<Alarm> Clear(AlarmKind kind, const std::string& about);
    bool IsRaised(AlarmKind kind, const std::string& about) const;
    // An alarm raised or cleared elsewhere; live: it happened now (counted), not a snapshot.
    void Record(const Alarm& a, bool live);
    // Acknowledges an alarm (active or recent); nullopt for an unknown id.
    std::optional<Alarm> Ack(const std::string& id, const std::string& by);

    std::optional<Alarm> Find(const std::string& id) const;
    std::vector<Alarm> Active() const;
    std::vector<Alarm> Recent() const;  // newest first
    // Raised since this program started, by kind.
    std::map<AlarmKind, int64_t> RaisedCounts() const;
    std::vector<RouteStats> DeliveryStats() const;

    // Called after every change that came through Raise, Clear or Record, without the lock.
    std::function<void(const Alarm&)> OnChange;

  private:
    void Save();  // with the lock held: hands a copy of the list to the file's writer
    void Changed(const Alarm& a);

    Clock& clock_;
    std::string file_, engine_;
    AlarmDelivery::ErrorLog errorLog_;
    DeliveryOptions options_;
    mutable std::mutex mutex_;
    AlarmList list_;
    std::map<AlarmKind, int64_t> raised_;
    std::string routesKey_;
    std::unique_ptr<AlarmDelivery> delivery_;
    std::unique_ptr<AlarmFileWriter>
        writer_;  // last: the waiting list is written before the rest goes
};

}  // namespace qtx::alarms
