// Loading the settings and the events of the database into the engine's state.
#include <algorithm>
#include <optional>

#include "common/Checked.h"
#include "common/Constants.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "database/DiskWork.h"
#include "database/EngineSettings.h"
#include "database/EventOrder.h"

namespace qtx {

namespace {

constexpr int32_t DefaultPort = 1250;
const char* const NoAddress = "0.0.0.0";

// Runs one read whose failure leaves the setting as it was.
template <class F>
void Optional(F&& read) {
    try {
        read();
    } catch (...) {
    }
}

std::string TotalEventsText(int16_t count) {
    return std::to_string(count) + " Total Events";
}

}  // namespace

std::string DayNameOf(int d) {
    static const char* const names[] = {"Monday", "Tuesday",  "Wedensday", "Thursday",
                                        "Friday", "Saturday", "Sunday"};
    // A negative day has no name of its own; it gets the one for "no day", like values above 7.
    return d >= 0 && d <= 6 ? names[d] : "None";
}

void DiskWork::LoadAutomationDB() {
    Variables& v = vars_;
    TableRead = false;
    try {
        if (!NormalFileExists(v.DBPath)) {
            v.EventCount = 0;
            view_.SetPanelText(1, TotalEventsText(0));
            return;
        }
        CheckDBVersion();
        v.DBFileTime = FileTimeText(v.DBPath);

        Database db = db_.OpenDatabase(v.DBPath);
        // Read after the time: a commit in between makes the engine reload once more, never
        // take another program's change for its own.
        v.DBChangeCounter = db.ChangeCounter();
        Recordset type = db.OpenRecordset("Type");
        const DbValue marker = type.Value("Type");
        if (!marker.IsText() || marker.AsText() != "Automation") {
            type.Close();
            db.Close();
            view_.ShowMessageBox("Invalid Database File", "File Error", MessageBoxKind::Critical,
                                 MessageBoxButtons::Ok);
            v.EventCount = 0;
            return;
        }
        const std::string oldAddr = v.ServerIPAddr;
        const int32_t oldPort = v.ServerIPPort;
        type.Close();

        ReadSettings(db);
        if (ValidateIPAddress(v.ServerIPAddr))
            v.ServerIPAddr = v.ValidIPAddr;
        else
            v.ServerIPAddr = NoAddress;
        if (v.ServerIPPort <= 0)
            v.ServerIPPort = DefaultPort;
        if (v.SlaveIPPort <= 0)
            v.SlaveIPPort = DefaultPort;
        if (ValidateIPAddress(v.SlaveIPAddr))
            v.SlaveIPAddr = v.ValidIPAddr;
        else
            v.SlaveIPAddr = NoAddress;
        v.SlaveEnabled = v.SlaveIPAddr != NoAddress;

        // The rows are read in one read transaction: one consistent state of the file, and its
        // lock taken once rather than at every statement.
        db.BeginRead();
        ReadEvents(db);  // closes the database, which ends the transaction
        if (db.InTransaction())
            db.CommitTrans();
        TableRead = true;
        if (v.EventCount == 0)
            return;
        OrderEventTable(v.EventTable);
        v.NextEventIndex = 0;

        if (v.ServerIPAddr != oldAddr || v.ServerIPPort != oldPort) {
            if (ServerDisconnected)
                ServerDisconnected();
        }
        if (!v.TaskViewDir.empty())
            CopyTaskViewDB();
    } catch (...) {
        logs_.ReportError("Error Reading Automation DB");
    }
}

void DiskWork::ReadSettings(Database& db) {
    Variables& v = vars_;
    Recordset server = db.OpenRecordset("Server");
    server.MoveFirst();
    const DbValue port = server.Value("IPPort");
    v.ServerIPPort = port.IsNull() ? DefaultPort : ToInt32(port.AsNumber());
    const DbValue addr = server.Value("IPAddr");
    v.ServerIPAddr = addr.IsNull() ? NoAddress : addr.AsText();

    // Settings added by later schema versions: a missing column or a value that does not
    // convert leaves the setting as it was.
    Optional([&] {
        const DbValue p = server.Value("SlaveIPPort");
        v.SlaveIPPort = p.IsNull() ? 1 : ToInt32(p.AsNumber());
    });
    Optional([&] {
        const DbValue a = server.Value("SlaveIPAddr");
        v.SlaveIPAddr = a.IsNull() ? NoAddress : a.AsText();
    });
    Optional([&] {
        const DbValue t = server.Value("TaskViewDB");
        v.TaskViewDir = t.IsNull() ? "" : t.AsText();
    });
    Optional([&] { server.Close(); });
    std::optional<Recordset> info;
    Optional([&] { info.emplace(db.OpenRecordset("Info")); });
    if (info) {
        Optional([&] {
            const DbValue s = info->Value("StartMin");
            v.StartMinimized = !s.IsNull() && s.AsNumber() != 0;
        });
        info->Close();
    }
    // The Settings table: defaults for a file without it (or for a value out of range).
    Optional([&] {
        const auto stored = settings::ReadSettings(db);
        v.ConfirmWithinMs = static_cast<int32_t>(stored.at(settings::ConfirmWithin));
        v.LinkAlarmAfterS = static_cast<int32_t>(stored.at(settings::LinkAlarmAfter));
    });
}

// The columns of Automation the loader reads, in the order of the reads below.
enum Column {
    cNumber,
    cDay,
    cTime,
    cTitle,
    cSourceChan,
    cDestChan,
    cReqSource,
    cReqDest,
    cActive,
    cRelay,
    cOpto,
    cSalvo,
    cVChan,
    cGain,
    cxcontrol,
    crcontrol,
    cscontrol,
    cvcontrol,
    cType,
    cCondition,
    cFileName,
    cFileType,
    cMessage,
    cmcontrol,
    cmtype,
    cMethod,
    cMIPAddress,
    cMIPPort,
    cMFrame,
    cMSlot,
    cMPort,
    cMCommPort,
    cMBaudRate,
    cTriggerSource,
    cTriggerDest,
    ctControl,
    cColor
};
const std::vector<std::string>& LoadedColumns() {
    static const std::vector<std::string> names = {
        "Number",    "Day",       "Time",       "Title",         "SourceChan",  "DestChan",
        "ReqSource", "ReqDest",   "Active",     "Relay",         "Opto",        "Salvo",
        "VChan",     "Gain",      "xcontrol",   "rcontrol",      "scontrol",    "vcontrol",
        "Type",      "Condition", "FileName",   "FileType",      "Message",     "mcontrol",
        "mtype",     "Method",    "MIPAddress", "MIPPort",       "MFrame",      "MSlot",
        "MPort",     "MCommPort", "MBaudRate",  "TriggerSource", "TriggerDest", "tControl",
        "Color"};
    return names;
}

// Reads every row of Automation, counting them on the way (no separate count over the table).
// A fault while reading (more than 32767 rows among them) leaves the previous table, count and
// status text in place, so the scheduler never walks half-filled records.
void DiskWork::ReadEvents(Database& db) {
    Variables& v = vars_;
    std::vector<AutomationEvent> table;
    table.reserve(std::max<size_t>(v.EventTable.size(), 64));
    {
        TableReader rs = db.ReadTable("Automation", LoadedColumns());
        // Integer field: Null gives nullValue; a value above limit gives replacement.
        auto integer = [&](int c, int16_t nullValue = 0, int16_t limit = INT16_MAX,
                           int16_t replacement = 0) {
            if (rs.IsNull(c))
                return nullValue;
            const int16_t n = ToInt16(rs.Number(c));
            return n > limit ? replacement : n;
        };
        auto longValue = [&](int c, int32_t nullValue) {
            return rs.IsNull(c) ? nullValue : ToInt32(rs.Number(c));
        };
        auto byte = [&](int c) { return rs.IsNull(c) ? uint8_t{0} : ToByte(rs.Number(c)); };
        auto text = [&](int c, const char* nullValue) {
            return rs.IsNull(c) ? std::string(nullValue) : rs.Text(c);
        };

        while (rs.Next()) {
            ToInt16(static_cast<int64_t>(table.size()) + 1);  // at most 32767 rows
            AutomationEvent& e = table.emplace_back();
            e.Number = ToInt16(rs.Number(cNumber));  // Null is a fault here
            e.Day = integer(cDay);
            const int16_t d = e.Day > 7 ? int16_t{7} : e.Day;
            e.DayName = DayNameOf(d);
            e.DayIndex = d;
            e.Time = text(cTime, "24:00:00");
            e.Title = text(cTitle, "None");
            e.SourceChan = integer(cSourceChan);
            e.DestChan = integer(cDestChan);
            e.ReqSource = integer(cReqSource);
            e.ReqDest = integer(cReqDest);
            e.Active = integer(cActive, 0, 3, 0);
            e.Relay = integer(cRelay);
            e.Opto = integer(cOpto);
            e.Salvo = integer(cSalvo);
            e.VChan = integer(cVChan);
            e.Gain = integer(cGain, 1024, 2024, 1024);
            e.xcontrol = integer(cxcontrol, 0, 3, 0);
            e.rcontrol = integer(crcontrol, 0, 3, 0);
            e.scontrol = integer(cscontrol, 0, 1, 0);
            e.vcontrol = integer(cvcontrol, 0, 2, 0);
            e.Type = integer(cType, 0, 3, 0);
            e.Condition = integer(cCondition, 0, 2, 0);
            e.FileName = text(cFileName, " ");
            e.FileType = integer(cFileType, 0, 3, 0);
            e.Message = text(cMessage, " ");
            e.mcontrol = integer(cmcontrol, 0, 3, 0);
            e.mtype = integer(cmtype, 0, 3, 0);
            e.Method = text(cMethod, " ");
            e.MIPAddress = text(cMIPAddress, "0.0.0.0");
            e.MIPPort = longValue(cMIPPort, 0);
            e.MFrame = byte(cMFrame);
            e.MSlot = byte(cMSlot);
            e.MPort = byte(cMPort);
            e.MCommPort = byte(cMCommPort);
            e.MBaudRate = longValue(cMBaudRate, 0);
            e.TriggerSource = integer(cTriggerSource);
            e.TriggerDest = integer(cTriggerDest);
            e.tControl = integer(ctControl, 0, 2, 0);
            e.Color = longValue(cColor, 16777215);
        }
    }  // the reader's statement ends before the database closes
    db.Close();
    const int16_t count = static_cast<int16_t>(table.size());
    v.EventCount = count;
    view_.SetPanelText(1, TotalEventsText(count));
    if (count > 0)
        v.EventTable = std::move(table);
    ++v.TableLoads;
}

}  // namespace qtx
