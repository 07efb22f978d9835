#pragma once
// schedule/: events in words, for every program that prepares events (qtx-eventdb, CSV import,
// the console). No Qt. Link qtx_schedule (and qtx_schedule_preview for the preview).
//
// API summary
//   schedule/Event.h       Event: number, title, days, time, marking, condition, actions (take,
//                          sum-on, sum-off, salvo, relay, gain, message); the fixed names of the
//                          surface (ParseDays "mon-fri", MarkingName "skip-next", ...);
//                          DescribeActions / DescribeEvent: the event in words for lists.
//   schedule/Rows.h        Row (column -> DbValue); EventFromRows, EventFromRow, EventToRows /
//                          PlanRows (one row per day, unused columns kept, only what changed
//                          written), GroupByNumber / GroupPositions, LoadedNumber, LoadedFields
//                          (a row's values as the engine loads them).
//   schedule/Rules.h       Problem {Number, Title, Field, Value, Allowed, Message, Row};
//                          CheckEvent, CheckRow (as the engine loads it), CheckNumbers,
//                          CheckRows (a whole table), CheckSetting, IsDottedAddress, IsTimeOfDay,
//                          CheckMessageFile (message files in the program folder's messages/).
//   schedule/MessageFolder.h  MessageFolderOf, EnsureMessageFolder.
//   schedule/EventStore.h  ReadRows / ReadEvents / ReadEvent; CreateEvent, UpdateEvent,
//                          DeleteEvent, WriteRows: checked, all or nothing, one transaction.
//   schedule/preview/Preview.h  RunPreview: the real engine on a copy of the file with a
//                          simulated clock; FormatPreviewRun; ParseDateTime.
//
// Texts in the event form are UTF-8; Row values are the database's 8-bit text (DbValue).
// Nothing throws for bad input: the rules return problems. Database faults (a locked or
// missing file) propagate as qtx::Fault from the EventStore functions, with nothing written.
#include "schedule/Event.h"
#include "schedule/EventStore.h"
#include "schedule/MessageFolder.h"
#include "schedule/Rows.h"
#include "schedule/Rules.h"
