#pragma once
// The engine's state: every value the engine's modules share, owned by one Engine object.
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/DateTime.h"

namespace qtx {

// One loaded row of table Automation.
struct AutomationEvent {
    int16_t Number = 0;
    std::string DayName;
    int16_t Day = 0;       // as stored: ordering and next-event search use it
    int16_t DayIndex = 0;  // Day limited to 7
    std::string Time;      // "hh:mm:ss"; "24:00:00" is a record without a time
    std::string Title;
    int16_t SourceChan = 0;
    int16_t DestChan = 0;
    int16_t ReqSource = 0;
    int16_t ReqDest = 0;
    int16_t Active = 0;
    int16_t Relay = 0;
    int16_t Opto = 0;
    int16_t Salvo = 0;
    int16_t VChan = 0;
    int16_t Gain = 0;
    int16_t xcontrol = 0;
    int16_t rcontrol = 0;
    int16_t scontrol = 0;
    int16_t vcontrol = 0;
    int16_t Type = 0;
    int16_t Condition = 0;
    std::string FileName;
    int16_t FileType = 0;
    std::string Message;
    int16_t mcontrol = 0;
    int16_t mtype = 0;
    std::string Method;
    std::string MIPAddress;
    int32_t MIPPort = 0;
    uint8_t MFrame = 0;
    uint8_t MSlot = 0;
    uint8_t MPort = 0;
    uint8_t MCommPort = 0;
    int32_t MBaudRate = 0;
    int16_t TriggerSource = 0;
    int16_t TriggerDest = 0;
    int16_t tControl = 0;
    int32_t Color = 0;
    // Time read as whole seconds of the day; -1 for a record without a time or whose Time the
    // engine cannot read. Filled by the engine after every load.
    int32_t Seconds = -1;

    bool operator==(const AutomationEvent&) const = default;
};

// A skip or one-time marking the engine consumed in its table but could not write to the file
// (locked, read-only, missing). It is written at the next chance and, until then, applied again
// to every table read from the file; it is dropped unwritten when the event's rows are found
// changed by another program (that edit is the newer word on the event).
struct PendingMarking {
    enum class Kind : uint8_t { Skip, OneTime };
    Kind What = Kind::Skip;
    int16_t Number = 0;
    // Every record of the event as loaded, marking included, when it was consumed.
    std::vector<AutomationEvent> Records;
    // The file's state (time and change counter) in which the event's rows were last known to
    // be as Records holds them: the marking is written only to a file still in that state.
    std::string VouchedTime;
    int64_t VouchedCounter = -1;
    // The table read (Variables::TableLoads) the marking was last applied to.
    uint64_t AppliedToLoad = 0;
};

// The sources feeding one switcher output.
struct CrosspointEntry {
    std::vector<int16_t> Sources;  // 0-based source numbers; the first SourceCount are valid
    uint8_t SourceCount = 0;
    std::vector<int16_t> SourceAttr;  // the second word of each source, as received
};

struct Variables {
    // Program folder and database.
    std::string AppDir;      // ends in "/"
    std::string DBPath;      // AppDir + "QTXAutomation.mdb"
    std::string DBFileTime;  // FileTimeText of DBPath at the last load or own change
    // The file's change counter read with DBFileTime (-1: unknown): tells the engine's own
    // commit from another program's when both fall within one file-time step.
    int64_t DBChangeCounter = -1;

    // "Now" as fixed by the current tick.
    int16_t TodayIndex = 0;     // 0 Monday .. 6 Sunday
    TimeOfDay CurrentTime = 0;  // whole seconds since midnight
    int16_t TickCounter = 0;

    // The event table.
    std::vector<AutomationEvent> EventTable;
    int16_t EventCount = 0;
    int16_t NextEventIndex = 0;
    // Tables read whole from the file since start (a failed read leaves the old table and
    // this count as they were).
    uint64_t TableLoads = 0;
    // Markings consumed but not yet written to the file, oldest first.
    std::vector<PendingMarking> PendingMarkings;

    // Settings loaded from the database.
    std::string ServerIPAddr;
    int32_t ServerIPPort = 0;
    std::string SlaveIPAddr;
    int32_t SlaveIPPort = 0;
    bool SlaveEnabled = false;
    std::string TaskViewDir;
    bool StartMinimized = false;
    // From the Settings table (database/EngineSettings.h has the ranges and defaults): the wait
    // for the switcher to show a commanded crosspoint (0: no confirmation), and how long a link
    // may be down before it is alarmed.
    int32_t ConfirmWithinMs = 1000;
    int32_t LinkAlarmAfterS = 10;
    std::string ValidIPAddr;  // scratch result of ValidateIPAddress

    // Switcher links: index 0 the server, 1 the slave.
    bool ServerConnected = false;
    bool SlaveConnected = false;
    bool SwitcherConnected = false;
    bool SlaveSwitcherConnected = false;
    bool SlaveSocketLoaded = false;
    std::array<std::string, 2> RecvBuffer;
    std::array<int16_t, 2> PollCount{0, 0};
    std::array<bool, 2> MapReceived{false, false};
    std::vector<CrosspointEntry> CrosspointMap{CrosspointEntry{}};
    std::vector<CrosspointEntry> SlaveCrosspointMap{CrosspointEntry{}};

    // Window state.
    bool RestoringWindow = false;
    int32_t HelpOwnerWindow = 0;

    // Execution guard: true while ExecuteEvent runs (the IP sender pumps the loop meanwhile).
    bool ExecutionInProgress = false;
    // The date of the current tick (days since 1970-01-01).
    int64_t CurrentDayNumber = 0;
    // The weekly occurrences run lately, as (Number, moment of the occurrence), so a record is
    // never run twice for one occurrence: not when a reload chooses it again in its second, nor
    // when the wall clock repeats an hour. Entries older than a week and a day are dropped.
    std::set<std::pair<int16_t, int64_t>> RunOccurrences;
    // The local wall-clock moment (day number * 86400 + second of day) at which the record at
    // NextEventIndex is next due; -1 when no record is waiting (empty table, no timed record).
    // A simulation may move its clock straight to it instead of ticking through idle time.
    int64_t NextDueAt = -1;
};

// The number of CrosspointMap entries that the crosspoint conditions may look at: 0 until a map
// has been received on link 0.
int16_t CrosspointMapBound(const Variables& v);

}  // namespace qtx
