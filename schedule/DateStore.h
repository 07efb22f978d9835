#pragma once
// Date rules and calendars in an event database: tables of their own beside Automation, keyed by
// the event's Number, so table Automation, older files and older programs are untouched. Each
// table is made when first written; a file without them has no rules and no calendars.
//
//   EventDates      Number (1..32767, one row per event), FromDate, UntilDate, EveryWeeks,
//                   WeekOf, Latest: texts "YYYY-MM-DD" / "hh:mm:ss", Null when not set
//   EventCalendars  Number, Kind ("except" or "only"), Calendar (a calendar's name)
//   Calendars       Name
//   CalendarDates   Calendar, Date ("YYYY-MM-DD"), Title
//
// Values are read defensively: a number that does not fit its field or a value of the wrong kind
// faults (qtx::Fault naming the table, row and column) instead of being taken as something else.
#include <map>
#include <string>
#include <vector>

#include "database/DBEngine.h"
#include "schedule/DateRules.h"

namespace qtx::schedule {

inline constexpr const char* EventDatesTable = "EventDates";
inline constexpr const char* EventCalendarsTable = "EventCalendars";
inline constexpr const char* CalendarsTable = "Calendars";
inline constexpr const char* CalendarDatesTable = "CalendarDates";

// Makes the four tables where missing.
void EnsureDateTables(Database& db);

// Every event's rules (events without rules are absent).
std::map<int, DateRules> ReadDateRules(Database& db);
// Replaces event number's rules (none stored when r is empty). Joins an open transaction.
void WriteDateRules(Database& db, int number, const DateRules& r);
void DeleteDateRules(Database& db, int number);
// Every event's rules removed (an import that replaces the events); calendars stay.
void ClearDateRules(Database& db);

// Every calendar by name, its dates ascending.
std::vector<Calendar> ReadCalendars(Database& db);
bool HasCalendar(Database& db, const std::string& name);
// The calendars' names, ascending.
std::vector<std::string> CalendarNames(Database& db);
// The numbers of the events whose except or only name the calendar, ascending.
std::vector<int> CalendarUsers(Database& db, const std::string& name);
// Adds (or retitles) one date, making the calendar when missing.
void AddCalendarDate(Database& db, const std::string& name, int64_t day, const std::string& title);
// Makes an empty calendar when missing.
void AddCalendar(Database& db, const std::string& name);
// false when the calendar lacks that date.
bool RemoveCalendarDate(Database& db, const std::string& name, int64_t day);
// Removes the calendar and its dates; false when there is none.
bool RemoveCalendar(Database& db, const std::string& name);
// The calendar's dates become exactly these (the calendar is made when missing), in one
// transaction (joining an open one).
void ReplaceCalendarDates(Database& db, const std::string& name,
                          const std::vector<CalendarDate>& dates);

// The rules and calendars of the file, ready to judge (faults as DateBook and the reads do).
DateBook LoadDateBook(Database& db);

}  // namespace qtx::schedule
