#pragma once
// The week as the engine runs it, for the events list and the Week page: each event's place in
// the engine's table on each of its days, and for each day the occurrences of the events that
// run on it, by time and, within a second, in the engine's order.
#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "preview/Preview.h"
#include "schedule/EngineOrder.h"
#include "schedule/Event.h"

namespace qtx::console {

// Per event (as in events) and day (0 Monday .. 6 Sunday): its slot's position in the engine's
// table, or -1 when it has none that day.
using DayPositions = std::array<long long, schedule::NoDay>;
std::vector<DayPositions> PositionsOf(const std::vector<schedule::Event>& events,
                                      const std::vector<schedule::TableSlot>& slots);

struct WeekGrid {
    // Per day, the places in events of its occurrences: by time, then engine position, then
    // number.
    std::array<std::vector<size_t>, schedule::NoDay> Days;
    // The events that never run (no day or no time), in the order of events.
    std::vector<size_t> Apart;
};
// find, when not empty, keeps the events whose "number title" holds it, without regard to the
// case of ASCII letters.
WeekGrid MakeWeek(const std::vector<schedule::Event>& events,
                  const std::vector<DayPositions>& positions, const std::string& find);

// The Monday-first weekday (0 Monday .. 6 Sunday) of a day number.
int WeekdayOf(int64_t day);

// What the engine will do with each occurrence of a week, from the preview's runs: per event
// number and the date (a day number) its run was due on, its first run. A run the chain delayed
// past midnight counts on the day it was due.
struct WeekRuns {
    std::map<std::pair<int, int64_t>, schedule::PreviewRun> Due;
};
WeekRuns RunsByDueDay(std::vector<schedule::PreviewRun> runs);

}  // namespace qtx::console
