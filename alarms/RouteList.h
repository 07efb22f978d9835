#pragma once
// The whole list of routes replaced at once (the console's Settings page), keeping each route's
// id, in the caller's transaction.
#include <vector>

#include "alarms/AlarmRoutes.h"

namespace qtx::alarms {

// Routes with Id 0 get a new id. Makes the table when it is missing.
void ReplaceRoutes(Database& db, const std::vector<AlarmRoute>& routes);

}  // namespace qtx::alarms
