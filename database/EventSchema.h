#pragma once
// The tables of an event database as each schema version has them, for programs that create
// event databases (the command-line tool, test fixtures). The engine itself never creates one.
#include <string>
#include <vector>

#include "database/DBEngine.h"

namespace qtx {

inline constexpr int CurrentSchemaVersion = 7;

struct ColumnSpec {
    const char* Name;
    int Type;  // dbtype code
    int Size;  // text size, 0 for numbers or unlimited text
};

// The columns of a table ("Type", "Server", "Info", "Automation") at a schema version 1 .. 7,
// in the order a file of that version has them.
std::vector<ColumnSpec> SchemaColumns(const std::string& table, int version);

// Creates a new event database at path with the tables of the version, the Type marker, one
// Server row (port 1250, address 0.0.0.0, no slave, no task-view folder) and one Info row.
// Faults when the path exists or the version is outside 1 .. 7.
void CreateEventDatabase(DBEngine& engine, const std::string& path, int version);

}  // namespace qtx
