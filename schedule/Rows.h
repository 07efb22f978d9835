#pragma once
// Events and the rows that store them: table Automation holds one row per event and day, all
// rows of an event sharing its Number. Columns the event form does not use (Type, Opto,
// FileName, FileType, Method, tControl, TriggerSource, TriggerDest, Color, Days, Future1..5 and
// any other) are kept as they are when an event is rewritten.
#include <map>
#include <string>
#include <vector>

#include "common/Variables.h"
#include "database/DBEngine.h"
#include "schedule/Event.h"

namespace qtx::schedule {

// Column names compare without regard to letter case, as the engine matches them (the order
// itself is shorter names first).
struct ColumnNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// One stored row: column name to value (texts in the database's 8-bit form, as DbValue holds
// them). A column missing from the map is Null.
using Row = std::map<std::string, DbValue, ColumnNameLess>;

// The columns the event form reads and writes.
bool IsEventColumn(const std::string& column);

// The value the engine's load gives a number column of a row (Null and above-limit
// replacements applied); 0 when the value cannot be read (CheckRow reports that).
int LoadedNumber(const Row& row, const std::string& column);

// The event that the rows of one number make, read the way the engine acts on them (an Active
// of 7 is inactive, an xcontrol of 9 is no crosspoint action). The first row decides every
// field; Days collects the Day of every row (a single row of Day 7 or more: no day).
Event EventFromRows(const std::vector<Row>& rows);
// The same without copying the rows.
Event EventFromRows(const std::vector<const Row*>& rows);
// The event one row makes on its own (Days: that row's day).
Event EventFromRow(const Row& row);

// The values of a row that the event form reads, as the engine's load gives them (Null and
// above-limit replacements applied); texts UTF-8. The engine's own loaded records map onto it.
struct LoadedFields {
    int Number = 0, Day = 0, Active = 0, Condition = 0, ReqSource = 0, ReqDest = 0;
    int xcontrol = 0, SourceChan = 0, DestChan = 0, scontrol = 0, Salvo = 0;
    int rcontrol = 0, Relay = 0, vcontrol = 0, VChan = 0, Gain = 1024;
    int mcontrol = 0, mtype = 0, MIPPort = 0, MCommPort = 0, MBaudRate = 0;
    int MFrame = 0, MSlot = 0, MPort = 0;
    std::string Title = "None", Time = "24:00:00", Message = " ", MIPAddress = "0.0.0.0";
};
LoadedFields LoadedFieldsOf(const Row& row);
// The same fields of one of the engine's loaded records.
LoadedFields LoadedFieldsOf(const AutomationEvent& record);
// Only the Time text of those (what the engine's table order reads besides Number and Day).
std::string LoadedTime(const Row& row);
// The event of an event's first row's fields and the Day of each of its rows.
Event EventFromLoaded(const LoadedFields& first, const std::vector<int>& days);

// Groups the rows by Number, in the order each number first appears.
std::vector<std::vector<Row>> GroupByNumber(const std::vector<Row>& rows);
// The same as positions into rows (from 0), without copying the rows.
std::vector<std::vector<size_t>> GroupPositions(const std::vector<Row>& rows);

// The rows that store e. present are the event's rows as they are now (empty for a new event):
// a day that has a present row keeps that row's other columns; a new day copies them from the
// first present row. A part of the event (title, time, marking, condition, each action) that
// means the same as in the present rows is left exactly as stored; only what changed is
// written. Every row gets Number and Day.
std::vector<Row> EventToRows(const Event& e, const std::vector<Row>& present = {});

// The same, with each row's origin: the index in present of the row it rewrites, or -1 for a
// new row. Present rows that no planned row names are to be deleted.
struct PlannedRow {
    int Present = -1;
    Row Values;
};
std::vector<PlannedRow> PlanRows(const Event& e, const std::vector<Row>& present);

}  // namespace qtx::schedule
