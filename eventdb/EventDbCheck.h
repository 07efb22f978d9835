#pragma once
// `qtx-eventdb check`: every problem the engine would meet with an event database, found by the
// rules of schedule/ applied to the file as the engine loads it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "database/DBEngine.h"

namespace qtx {

struct CheckReport {
    std::vector<std::string> Problems;  // one sentence each
    // What is allowed but likely not meant (a calendar no event uses, an event whose date rules
    // leave it no run in the next 365 days): reported, not a failure.
    std::vector<std::string> Warnings;
    size_t Events = 0;  // distinct event numbers
    size_t Rows = 0;
};

// The marker of an event database, the columns the engine loads (a column that the file's
// schema version should have and lacks makes the load fail), and every row and event; an event
// whose message file is not in programFolder's messages/ folder is reported too (the engine
// still sends it unless it is a file of the program folder).
// today (a day number) starts the 365 days the date rules are tried on; -1 leaves that out.
CheckReport CheckEventDatabase(Database& db, const std::string& programFolder, int64_t today = -1);

}  // namespace qtx
