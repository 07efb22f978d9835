#include "schedule/EngineOrder.h"

#include <string>

#include "database/EventOrder.h"

namespace qtx::schedule {

namespace {

// What the table's order reads of a record: its Day and its Time text as loaded.
struct Slot {
    int Day = 0;
    std::string Time;
    int Number = 0;
};

}  // namespace

std::vector<TableSlot> EngineOrder(const std::vector<Row>& rows) {
    std::vector<Slot> table;
    table.reserve(rows.size());
    // Times are compared as UTF-8 here and as 8-bit text by the engine: the same order for every
    // time the rules allow (plain ASCII "hh:mm:ss").
    for (const Row& r : rows)
        table.push_back({LoadedNumber(r, "Day"), LoadedTime(r), LoadedNumber(r, "Number")});
    OrderEventTable(table);
    std::vector<TableSlot> out;
    out.reserve(table.size());
    for (const Slot& s : table)
        out.push_back({s.Number, s.Day});
    return out;
}

}  // namespace qtx::schedule
