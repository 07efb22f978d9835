#include "eventdb/EventDbCheck.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <set>

#include "common/Fault.h"
#include "common/Text.h"
#include "database/EngineSettings.h"
#include "database/EventSchema.h"
#include "schedule/DateStore.h"
#include "schedule/EventStore.h"
#include "schedule/LoadedColumns.h"
#include "schedule/Rules.h"

namespace qtx {

using namespace schedule;

namespace {

// The schema version at which a column of Automation appears (1 for the base columns).
int VersionAdding(const std::string& column) {
    for (int v = 1; v <= CurrentSchemaVersion; ++v)
        for (const ColumnSpec& c : SchemaColumns("Automation", v))
            if (strcasecmp(c.Name, column.c_str()) == 0)
                return v;
    return 1;
}

// The date rules of every event against the file's calendars, and the warnings about them.
void CheckDates(Database& db, int64_t today, CheckReport& report) {
    std::map<int, DateRules> rules;
    std::vector<Calendar> calendars;
    try {
        rules = ReadDateRules(db);
        calendars = ReadCalendars(db);
    } catch (const Fault& f) {
        report.Problems.push_back("the date rules cannot be read: " + f.Description +
                                  "; the engine runs the events without them");
        return;
    }
    std::vector<std::string> names;
    std::set<std::string> used;
    for (const Calendar& c : calendars)
        names.push_back(c.Name);
    if (rules.empty() && calendars.empty())
        return;
    const std::vector<Event> events = ReadEvents(db);
    bool sound = true;
    for (const Event& e : events) {
        for (const Problem& p : CheckDateRules(e, names)) {
            report.Problems.push_back(p.Message);
            sound = false;
        }
        for (const auto* list : {&e.Dates.Except, &e.Dates.Only})
            used.insert(list->begin(), list->end());
    }
    for (const std::string& n : names)
        if (!used.count(n))
            report.Warnings.push_back("calendar \"" + n + "\" is used by no event");
    if (!sound || today < 0)
        return;
    const DateBook book(rules, calendars);
    for (const Event& e : events) {
        if (e.Dates.Empty() || e.Days.empty() || !e.Time)
            continue;
        bool runs = false;
        for (int64_t d = today; d < today + 365 && !runs; ++d) {
            const int monday = static_cast<int>(((d + 3) % 7 + 7) % 7);  // 0 Monday .. 6 Sunday
            runs = std::find(e.Days.begin(), e.Days.end(), monday) != e.Days.end() &&
                   book.Judge(e.Number, d).Verdict == DateVerdict::Runs;
        }
        if (!runs)
            report.Warnings.push_back("event " + std::to_string(e.Number) + " \"" + e.Title +
                                      "\": its date rules leave it no run in the next 365 days");
    }
}

}  // namespace

CheckReport CheckEventDatabase(Database& db, const std::string& programFolder, int64_t today) {
    CheckReport report;
    {
        Recordset type = db.OpenRecordset("Type");
        const DbValue marker = type.IsEOF() ? DbValue() : type.Value("Type");
        if (!marker.IsText() || marker.AsText() != "Automation") {
            report.Problems.push_back(
                "table Type does not hold \"Automation\": the engine refuses the file with "
                "\"Invalid Database File\"");
            return report;
        }
    }
    // The switcher's address and ports: the engine replaces a bad address with 0.0.0.0 and never
    // connects.
    try {
        Recordset server = db.OpenRecordset("Server");
        if (!server.IsEOF())
            for (const char* name : {"IPAddr", "IPPort", "SlaveIPAddr", "SlaveIPPort"}) {
                if (!server.HasField(name))
                    continue;
                const DbValue v = server.Value(name);
                if (v.IsNull())
                    continue;
                for (const Problem& p : CheckSetting(name, Cp1252ToUtf8(v.AsText())))
                    report.Problems.push_back(p.Message);
            }
    } catch (const Fault&) {
        report.Problems.push_back("table Server cannot be read: the engine's load fails");
    }
    // The Settings table: a value out of range is read as the setting's default.
    try {
        if (db.HasTable(settings::Table))
            for (const auto& row :
                 db.QueryRaw(std::string("SELECT Name, Value FROM ") + settings::Table))
                if (row.size() == 2 && row[0].kind == RawValue::Text &&
                    settings::FindKnown(row[0].bytes) != nullptr) {
                    const std::string value = row[1].kind == RawValue::Integer
                                                  ? std::to_string(row[1].integer)
                                                  : row[1].bytes;
                    for (const Problem& p : CheckSetting(row[0].bytes, value))
                        report.Problems.push_back(p.Message + " (the engine uses the default)");
                }
    } catch (const Fault&) {
        report.Problems.push_back("table Settings cannot be read: the engine uses the defaults");
    }
    int version = 1;
    try {
        Recordset info = db.OpenRecordset("Info");
        if (!info.IsEOF())
            version = static_cast<int>(info.Value("Version").AsNumber());
    } catch (const Fault&) {
        // No Info table or no readable version: the engine treats the file as version 1.
    }
    {
        Recordset rs = db.OpenRecordset("Automation");
        size_t count = 0;
        const LoadedColumn* columns = LoadedColumns(count);
        for (size_t i = 0; i < count; ++i) {
            const std::string name = columns[i].Name;
            if (!rs.HasField(name) && VersionAdding(name) <= version)
                report.Problems.push_back("table Automation has no column " + name +
                                          ": the engine's load fails");
        }
    }
    const std::vector<Row> rows = ReadRows(db);
    report.Rows = rows.size();
    const std::vector<std::vector<size_t>> groups = GroupPositions(rows);
    report.Events = groups.size();
    for (const Problem& p : CheckRows(rows))
        report.Problems.push_back(p.Message);
    for (const std::vector<size_t>& group : groups) {
        const Row& front = rows[group.front()];
        if (LoadedNumber(front, "mcontrol") != 3)
            continue;  // only file messages: the costly reading of the event is left out
        for (const Problem& p : CheckMessageFile(EventFromRow(front), programFolder))
            report.Problems.push_back(p.Message);
    }
    CheckDates(db, today, report);
    return report;
}

}  // namespace qtx
