#pragma once
// The alarms that are raised now. Raising what is already raised (the same kind about the same
// thing) gives nothing; clearing gives the alarm with its id and how long it lasted. Times come
// from the clock seam.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alarms/Alarm.h"
#include "common/Clock.h"

namespace qtx::alarms {

class AlarmBook {
  public:
    // engine: "HOST:/program/folder/", carried by every alarm.
    AlarmBook(Clock& clock, std::string engine) : clock_(clock), engine_(std::move(engine)) {}

    // about: what the alarm concerns, unique within its kind ("link 0", "run 100 ...").
    // The new alarm to deliver, or nothing when one is raised already.
    std::optional<Alarm> Raise(AlarmKind kind, const std::string& about, std::string text,
                               std::optional<AlarmEvent> event = std::nullopt,
                               std::optional<int> link = std::nullopt);
    // The cleared alarm to deliver (same id, lasted_s), or nothing when none is raised.
    std::optional<Alarm> Clear(AlarmKind kind, const std::string& about);
    bool IsRaised(AlarmKind kind, const std::string& about) const;
    std::vector<Alarm> Active() const;

  private:
    Clock& clock_;
    std::string engine_;
    std::map<std::pair<AlarmKind, std::string>, Alarm> active_;
};

// A fresh alarm id: 12 lowercase hex digits from the system's random source.
std::string NewAlarmId();
// Now on the clock as UTC milliseconds and the host's UTC offset in minutes.
std::pair<int64_t, int> UtcNow(Clock& clock);
// "HOST:FOLDER/" for the folder given.
std::string EngineName(const std::string& folder);

}  // namespace qtx::alarms
