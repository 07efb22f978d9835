#include "eventdb/EventDbCheck.h"

#include <strings.h>

#include "common/Fault.h"
#include "common/Text.h"
#include "database/EngineSettings.h"
#include "database/EventSchema.h"
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

}  // namespace

CheckReport CheckEventDatabase(Database& db, const std::string& programFolder) {
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
    return report;
}

}  // namespace qtx
