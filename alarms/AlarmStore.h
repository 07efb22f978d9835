#pragma once
// The alarms a program keeps across its restarts (the active ones and the last cleared ones), in
// a JSON file of the program folder written whole and renamed over the old one, so a crash
// leaves the old list or the new one. The stored form of an alarm is the API's form plus what
// it takes to rebuild it exactly ("about", "atMs", "offsetMin", "ackedAtMs"); the engine's
// state channel carries the same form.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alarms/Alarm.h"

namespace qtx::alarms {

nlohmann::json StoredAlarm(const Alarm& a);
// nullopt for anything that is not an alarm of a kind this program knows.
std::optional<Alarm> ParseStoredAlarm(const nlohmann::json& j);

struct AlarmList {
    std::vector<Alarm> Active;
    std::vector<Alarm> Recent;  // cleared, newest first
};

// A missing file is an empty list; a file that cannot be read or parsed throws
// std::runtime_error naming it.
AlarmList LoadAlarmFile(const std::string& path);
// Throws std::runtime_error naming the file when it cannot be written.
void SaveAlarmFile(const std::string& path, const AlarmList& list);

}  // namespace qtx::alarms
