#pragma once
// The order in which the engine meets the rows of a file: its event table, sorted as its load
// sorts it (database/EventOrder.h). Events due in the same second run in this order, so lists
// that show such events (the console's Week page) take it from here.
#include <vector>

#include "schedule/Rows.h"

namespace qtx::schedule {

struct TableSlot {
    int Number = 0;
    int Day = 0;  // as the engine loads it: 0 Monday .. 6 Sunday, 7 (or beyond) no day
};

// One slot per row, in the engine's table order. rows are the rows of the file, in file order
// (ReadRows).
std::vector<TableSlot> EngineOrder(const std::vector<Row>& rows);

}  // namespace qtx::schedule
