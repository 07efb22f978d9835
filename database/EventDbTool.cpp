#include "database/EventDbTool.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/Fault.h"
#include "common/Text.h"
#include "database/Csv.h"
#include "database/DBEngine.h"
#include "database/EventOrder.h"
#include "database/EventSchema.h"

namespace qtx {

const char* const EventDbUsage =
    "usage: qtx-eventdb COMMAND FILE [ARGS]\n"
    "  create FILE [VERSION]        new event database at schema version 1..7 (default 7)\n"
    "  show FILE                    server, slave and start-up settings\n"
    "  set FILE NAME=VALUE...       change settings: IPAddr IPPort SlaveIPAddr SlaveIPPort\n"
    "                               TaskViewDB (table Server), StartMin (table Info)\n"
    "  list FILE                    events in the order the engine runs them\n"
    "  add FILE COLUMN=VALUE...     add one event row (an empty VALUE is Null)\n"
    "  remove FILE NUMBER           remove every row of event NUMBER\n"
    "  import FILE CSV              add the rows of a CSV file (first line: column names)\n"
    "  export FILE [CSV]            write all event rows as CSV (to standard output without CSV)\n"
    "  --help                       this text\n";

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::pair<std::string, std::string> SplitAssignment(const std::string& a) {
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError("expected NAME=VALUE, got \"" + a + "\"");
    return {a.substr(0, eq), a.substr(eq + 1)};
}

DbValue FromUtf8(const std::optional<std::string>& v) {
    return v ? DbValue(Utf8ToCp1252(*v)) : DbValue();
}

void SetColumn(Recordset& rs, const std::string& name, const DbValue& v) {
    if (!rs.HasField(name))
        throw std::runtime_error("table " + rs.TableName() + " has no column \"" + name + "\"");
    try {
        rs.SetValue(name, v);
    } catch (const Fault& f) {
        throw std::runtime_error("column " + name + ": " + f.Description);
    }
}

std::string Show(const DbValue& v) {
    return v.IsNull() ? "(null)" : Cp1252ToUtf8(v.AsText());
}

struct Row {
    int16_t Day = 0;
    std::string Time;
    std::string Line;
};

void List(Database& db, std::ostream& out) {
    Recordset rs = db.OpenRecordset("Automation");
    std::vector<Row> rows;
    while (!rs.IsEOF()) {
        Row r;
        const DbValue day = rs.Value("Day"), time = rs.Value("Time");
        r.Day = day.IsNull() ? 0 : static_cast<int16_t>(day.AsNumber());
        r.Time = time.IsNull() ? "24:00:00" : time.AsText();
        r.Line = Show(rs.Value("Number")) + "\t" + std::to_string(r.Day) + "\t" +
                 Cp1252ToUtf8(r.Time) + "\t" + Show(rs.Value("Title"));
        rows.push_back(std::move(r));
        rs.MoveNext();
    }
    OrderEventTable(rows);
    out << "Number\tDay\tTime\tTitle\n";
    for (const Row& r : rows)
        out << r.Line << "\n";
}

void Export(Database& db, std::ostream& out) {
    Recordset rs = db.OpenRecordset("Automation");
    csv::Record header;
    for (const FieldDef& f : rs.Fields())
        header.emplace_back(f.Name);
    out << csv::Format(header);
    while (!rs.IsEOF()) {
        csv::Record rec;
        for (size_t i = 0; i < rs.Fields().size(); ++i) {
            const DbValue v = rs.Value(static_cast<int>(i));
            if (v.IsNull())
                rec.emplace_back(std::nullopt);
            else
                rec.emplace_back(Cp1252ToUtf8(v.AsText()));
        }
        out << csv::Format(rec);
        rs.MoveNext();
    }
}

void Import(Database& db, const std::string& csvPath) {
    std::ifstream in(csvPath, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + csvPath);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<csv::Record> records;
    try {
        records = csv::Parse(text.str());
    } catch (const csv::ParseError& e) {
        throw std::runtime_error(csvPath + ": " + e.what());
    }
    if (records.empty())
        throw std::runtime_error(csvPath + ": no header line");
    const csv::Record& header = records[0];
    Recordset rs = db.OpenRecordset("Automation");
    for (size_t r = 1; r < records.size(); ++r) {
        if (records[r].size() != header.size())
            throw std::runtime_error(csvPath + ": line " + std::to_string(r + 1) + " has " +
                                     std::to_string(records[r].size()) + " fields, the header " +
                                     std::to_string(header.size()));
        rs.AddNew();
        for (size_t c = 0; c < header.size(); ++c) {
            if (!header[c])
                throw std::runtime_error(csvPath + ": empty column name in the header");
            try {
                SetColumn(rs, *header[c], FromUtf8(records[r][c]));
            } catch (const std::runtime_error& e) {
                throw std::runtime_error(csvPath + ": line " + std::to_string(r + 1) + ": " +
                                         e.what());
            }
        }
        rs.Update();
    }
}

int Run(const std::vector<std::string>& args, std::ostream& out) {
    if (args.size() < 2)
        throw UsageError("a command and a file are needed");
    const std::string& cmd = args[0];
    const std::string& file = args[1];
    DBEngine engine;
    if (cmd == "create") {
        if (args.size() > 3)
            throw UsageError("create takes FILE and an optional VERSION");
        int version = CurrentSchemaVersion;
        if (args.size() == 3) {
            if (args[2].size() != 1 || args[2][0] < '1' || args[2][0] > '7')
                throw UsageError("VERSION must be 1 to 7");
            version = args[2][0] - '0';
        }
        CreateEventDatabase(engine, file, version);
        return 0;
    }
    Database db = engine.OpenDatabase(file);
    if (cmd == "show" && args.size() == 2) {
        Recordset server = db.OpenRecordset("Server");
        for (const FieldDef& f : server.Fields())
            out << f.Name << "=" << Show(server.Value(f.Name)) << "\n";
        Recordset info = db.OpenRecordset("Info");
        for (const char* name : {"Version", "StartMin"})
            if (info.HasField(name))
                out << name << "=" << Show(info.Value(name)) << "\n";
        return 0;
    }
    if (cmd == "list" && args.size() == 2) {
        List(db, out);
        return 0;
    }
    if (cmd == "export" && args.size() <= 3) {
        if (args.size() == 3) {
            std::ofstream f(args[2], std::ios::binary | std::ios::trunc);
            if (!f)
                throw std::runtime_error("cannot write " + args[2]);
            Export(db, f);
            if (!f.flush())
                throw std::runtime_error("cannot write " + args[2]);
        } else {
            Export(db, out);
        }
        return 0;
    }
    db.BeginTrans();
    if (cmd == "set" && args.size() >= 3) {
        Recordset server = db.OpenRecordset("Server");
        Recordset info = db.OpenRecordset("Info");
        server.Edit();
        info.Edit();
        for (size_t i = 2; i < args.size(); ++i) {
            auto [name, value] = SplitAssignment(args[i]);
            Recordset& rs = info.HasField(name) && !server.HasField(name) ? info : server;
            SetColumn(rs, name, value.empty() ? DbValue() : DbValue(Utf8ToCp1252(value)));
        }
        server.Update();
        info.Update();
    } else if (cmd == "add" && args.size() >= 3) {
        Recordset rs = db.OpenRecordset("Automation");
        rs.AddNew();
        for (size_t i = 2; i < args.size(); ++i) {
            auto [name, value] = SplitAssignment(args[i]);
            SetColumn(rs, name, value.empty() ? DbValue() : DbValue(Utf8ToCp1252(value)));
        }
        rs.Update();
    } else if (cmd == "remove" && args.size() == 3) {
        const int64_t number = DbValue(args[2]).AsNumber();
        Recordset rs = db.OpenRecordset("Automation");
        int removed = 0;
        while (!rs.IsEOF()) {
            const DbValue n = rs.Value("Number");
            if (!n.IsNull() && n.AsNumber() == number) {
                rs.Delete();
                ++removed;
            }
            rs.MoveNext();
        }
        if (removed == 0)
            throw std::runtime_error("no event " + args[2]);
    } else if (cmd == "import" && args.size() == 3) {
        Import(db, args[2]);
    } else {
        throw UsageError("unknown command or wrong arguments: " + cmd);
    }
    db.CommitTrans();
    return 0;
}

}  // namespace

int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << EventDbUsage;
        return 0;
    }
    try {
        return Run(args, out);
    } catch (const UsageError& e) {
        err << "qtx-eventdb: " << e.what() << "\n" << EventDbUsage;
        return 2;
    } catch (const Fault& f) {
        err << "qtx-eventdb: " << f.Description << " (" << f.Number << ")\n";
    } catch (const std::exception& e) {
        err << "qtx-eventdb: " << e.what() << "\n";
    }
    return 1;
}

}  // namespace qtx
