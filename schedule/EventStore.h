#pragma once
// Events in an open event database: reading them and writing them under the rules. Every write
// checks first (schedule/Rules.h) and either stores the whole change in one transaction or, with
// any problem, nothing at all. A write joins the caller's transaction when one is open (the
// caller then commits or rolls back); otherwise it opens and commits its own.
#include <optional>
#include <vector>

#include "database/DBEngine.h"
#include "schedule/Event.h"
#include "schedule/Rows.h"
#include "schedule/Rules.h"

namespace qtx::schedule {

// Every row of table Automation, in file order (Null columns left out of each Row).
std::vector<Row> ReadRows(Database& db);
// Every event of the file, in the order each number first appears.
std::vector<Event> ReadEvents(Database& db);
// The same from rows already read (ReadRows).
std::vector<Event> EventsOfRows(const std::vector<Row>& rows);
// The event numbered number, or nullopt.
std::optional<Event> ReadEvent(Database& db, int number);

// Adds e. A Number of 0 takes the lowest free number (stored back into e). Problems: the rules
// of e, a number already used, a value the file's columns cannot hold.
std::vector<Problem> CreateEvent(Database& db, Event& e);
// Adds several events in one go (an import): numbers of 0 take the lowest free numbers in
// order. The result holds each event's problems (the rules, a number already used in the file
// or by an earlier event of the list); nothing is written unless every list is empty.
std::vector<std::vector<Problem>> CreateEvents(Database& db, std::vector<Event>& events);
// Rewrites event number as e (e.Number may differ: the event is renumbered, and must then not
// collide). Only what changed is written (schedule/Rows.h). Problem on field "number" when
// there is no such event.
std::vector<Problem> UpdateEvent(Database& db, int number, const Event& e);
// Removes every row of event number; false when there is none.
bool DeleteEvent(Database& db, int number);

// Stores rows as given (rows of the row form, for scripts and CSV): with replace the table's
// rows become exactly these, otherwise they are appended. Checked as the engine would load the
// whole table afterwards (CheckRows), so appending an event that already exists is refused;
// problems of rows already stored that the new rows do not touch do not stop an append. Columns
// the file does not have are a problem (field: the column name).
std::vector<Problem> WriteRows(Database& db, const std::vector<Row>& rows, bool replace);

// The lowest number 1..32767 that no row uses; 0 when every number is taken.
int FreeNumber(const std::vector<Row>& rows);

}  // namespace qtx::schedule
