#pragma once
// Events entered in bulk, as `qtx-eventdb import` and the console's import take them: the CSV
// forms (the row form, column names in the first line; the event form of `export --events`) or
// a list of events. Every event is checked by the shared rules (schedule/Rules.h), the message
// file rule with the program folder included, and everything is written in the caller's
// transaction, all or nothing: the caller commits when nothing was refused, and rolls back
// otherwise. Without replace the events are added, and an event the file already has is
// refused; with replace the file's events become exactly those given.
#include <string>
#include <vector>

#include "database/DBEngine.h"
#include "schedule/Event.h"
#include "schedule/Rules.h"

namespace qtx {

enum class ImportPlace {
    Whole,  // the input as a whole (no header, a quote not closed)
    Line,   // a CSV line, At from 1
    Item,   // an event of a list, At its position from 1
    File,   // the event file's own rows, not anything given
};

struct ImportRefusal {
    ImportPlace Place = ImportPlace::Whole;
    int At = 0;
    std::string Message;
    std::vector<schedule::Problem> Problems;  // the rule problems behind it, when any
};

struct ImportResult {
    std::vector<ImportRefusal> Refusals;  // empty when everything is written
    std::vector<int> Numbers;             // the numbers written, in input order (no repeats)
    size_t Rows = 0;                      // rows written
};

// The CSV text (either form; the separator and a byte-order mark as csv::ParseFile takes them).
// db must be in a write transaction.
ImportResult ImportCsv(Database& db, const std::string& programFolder, const std::string& text,
                       bool replace);
// Events as given (a Number of 0 takes the lowest free number). db must be in a write
// transaction.
ImportResult ImportEvents(Database& db, const std::string& programFolder,
                          std::vector<schedule::Event> events, bool replace);

}  // namespace qtx
