#pragma once
// The event form in JSON, as the API speaks it:
//   {"number": 100, "title": "Morning feed", "days": ["mon", ...], "time": "06:00:00",
//    "marking": "active", "condition": {"when": "on", "source": 2, "destination": 4},
//    "actions": [{"kind": "take", "source": 3, "destination": 1}, ...],
//    "what": "take 3->1", "conditionText": "when 2->4 is on"}
// "what" and "conditionText" are the event in the words the event tool and the preview use
// (schedule/Event.h); the list adds "order", the engine's table position of each day's row
// ({"mon": 17, ...}). Those are ignored when an event comes back in.
// Reading is strict about shape: an unknown field, a wrong type, a repeated action kind or a
// number beyond 32 bits is ApiError 400. Values the shape allows but the rules do not (a day
// name, a time of day, a port) are left to the shared rules, which say what is allowed.
#include <nlohmann/json.hpp>
#include <string>

#include "schedule/Event.h"
#include "schedule/Rules.h"

namespace qtx::console {

nlohmann::json EventToJson(const schedule::Event& e);
// numberRequired false: a missing "number" is 0 (the tool chooses one on create).
schedule::Event EventFromJson(const nlohmann::json& j, bool numberRequired);
// {"field", "message", "value", "allowed"}; the field in the event form's JSON names.
nlohmann::json ProblemsToJson(const std::vector<schedule::Problem>& problems);

}  // namespace qtx::console
