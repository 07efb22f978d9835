#pragma once
// The rules every writer of events applies (the event tool, CSV import, the console): anything
// that would make the engine's load fail, that the engine cannot read, that it would refuse or
// replace, or that plainly is not what the operator meant. Each problem names the event, the
// field, the value and what is allowed:
//   event 100 "Morning feed": time "25:00:00" is not a time of day (hh:mm:ss, 00:00:00 to 23:59:59)
#include <string>
#include <vector>

#include "common/Parse.h"
#include "schedule/Event.h"
#include "schedule/Rows.h"

namespace qtx::schedule {

// What kind of problem: the value itself is wrong, or it clashes with what the file holds (a
// number another event has), which a caller may report differently (the console: 409).
enum class ProblemKind { Invalid, Conflict };

struct Problem {
    ProblemKind Kind = ProblemKind::Invalid;
    int Number = 0;     // the event's number (0 when the row has none)
    std::string Title;  // the event's title, UTF-8
    // The field in the event form ("number", "title", "days", "time", "marking",
    // "condition.source", "condition.destination", "take.source", "take.destination" (also
    // "sum-on.", "sum-off."), "salvo", "relay", "gain.channel", "gain.gain", "message.address",
    // "message.port", "message.baud", "message.frame", "message.slot", "message.text",
    // "message.file") or, for a row as stored, the column name ("MFrame", "Time", "Number").
    std::string Field;
    std::string Value;    // the value as given (UTF-8)
    std::string Allowed;  // what is allowed, in words
    std::string Message;  // the whole sentence, as printed
    int Row = 0;          // for a stored row: its position in the table, from 1; 0 otherwise
};

// Every problem of one event on its own (not against other events). Texts that reach the logs
// (the title, a message's text or file) hold no control character (CR, LF, tab, ...): one would
// write lines of its own into the activity log. A message text gives them as caret codes ("^M").
std::vector<Problem> CheckEvent(const Event& e);

// The date rules of e against the calendars the file holds (names): a date that does not exist,
// until before from, every_weeks outside 1..52 or without week_of, a latest that is not
// hh:mm:ss, a calendar the file does not have. Fields "from", "until", "every_weeks", "week_of",
// "except", "only", "latest". CheckEvent checks all but the calendars' existence.
std::vector<Problem> CheckDateRules(const Event& e, const std::vector<std::string>& calendars);

// A calendar's name (1..64 characters, no control character, no comma: lists join names with
// it) and a date's title (at most 255 characters, no control character). Number 0, field
// "calendar" / "title".
std::vector<Problem> CheckCalendarName(const std::string& name);
std::vector<Problem> CheckCalendarTitle(const std::string& name, const std::string& title);

// Where a message file named by a writer (the event tool, an import, the console) lies: an
// absolute path in the program folder's messages/ folder (schedule/MessageFolder.h), without
// ".", ".." or empty ("//") parts. A file elsewhere could be any file of the folder (the
// accounts, the audit, the database) sent to an address of the writer's choice. stored is the
// event as it is stored before an edit: a file it already names may stay. Empty when fine, or
// when e sends no file.
std::vector<Problem> CheckMessageFile(const Event& e, const std::string& programFolder,
                                      const Event* stored = nullptr);

// Every problem of one stored row as the engine would load it: a value the load faults on
// (Null Number, a number that does not fit its field, text in a number column), a value the
// load replaces (Active 7 loads as 0), a Day outside 0..7, a Time it cannot read or that does
// not sort as a time ("6:00" sorts after "10:00:00"). row is the row's position from 1.
std::vector<Problem> CheckRow(const Row& row, int rowPosition);

// Rows that belong together as one event but disagree, or two rows of one event on one day:
// "two events with one number". rows are the rows of one table, in file order.
std::vector<Problem> CheckNumbers(const std::vector<Row>& rows);

// Everything: each row, the numbers, and each event as read from the rows (positions from 1).
// More than 32767 rows is a problem too (the engine's load fails).
std::vector<Problem> CheckRows(const std::vector<Row>& rows);

// A setting of table Server or Info as `qtx-eventdb set` and the console's settings write it:
// IPAddr and SlaveIPAddr dotted IPv4 addresses, IPPort 1..65535, SlaveIPPort 1..65535 (as
// text), TaskViewDB text of at most 255 characters, StartMin 0 or -1. Empty list when fine.
std::vector<Problem> CheckSetting(const std::string& name, const std::string& value);

// IsDottedAddress and IsTimeOfDay, the readers of addresses and times of day: common/Parse.h.

// The lines of several problems, one per problem.
std::string FormatProblems(const std::vector<Problem>& problems);

}  // namespace qtx::schedule
