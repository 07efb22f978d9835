#pragma once
// The event form as CSV, for spreadsheet users: one line per event, its days and actions in the
// words of the event options (schedule/ names them):
//   number,title,days,at,marking,when,crosspoint,salvo,relay,gain,message,text,file
//   100,Morning feed,mon-fri,06:00:00,active,on:2:4,take:3:1,5,pulse:4,source:2:900,
//   ip:127.0.0.1:7000,ON AIR^M^J,
// An empty cell is a part the event does not have; "at" is "none" for a record without a time.
// The date rules follow at the end (from,until,every_weeks,week_of,except,only,latest; a list
// cell holds names joined by ","); files written before them lack those columns.
#include <string>

#include "eventdb/Csv.h"
#include "schedule/Event.h"

namespace qtx::csv {

Record EventHeader();
Record EventRecord(const schedule::Event& e);
// True when a CSV header is that of the event form: only its columns, "days" among them.
bool IsEventHeader(const Record& header);
// The event of one line; OptionError (database/EventDbOptions.h) for a malformed cell, naming
// the column. An empty number is 0 (the importer chooses one).
schedule::Event EventFromRecord(const Record& header, const Record& record);

}  // namespace qtx::csv
