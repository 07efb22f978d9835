#include "database/EventSchema.h"

#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx {

namespace {

constexpr int I16 = dbtype::Integer, I32 = dbtype::Long, TXT = dbtype::Text;

// Columns and the version that adds them.
struct Versioned {
    int Since;
    ColumnSpec Column;
};

const std::vector<Versioned>& Table(const std::string& name) {
    static const std::vector<Versioned> type = {{1, {"Type", TXT, 50}}};
    static const std::vector<Versioned> server = {
        {1, {"IPPort", I32, 0}},       {1, {"IPAddr", TXT, 20}},      {5, {"SlaveIPPort", TXT, 10}},
        {5, {"SlaveIPAddr", TXT, 15}}, {7, {"TaskViewDB", TXT, 255}},
    };
    static const std::vector<Versioned> info = {
        {1, {"Version", TXT, 10}},  {1, {"Future1", TXT, 255}}, {1, {"Future2", TXT, 255}},
        {1, {"Future3", TXT, 255}}, {1, {"Future4", TXT, 255}}, {1, {"Future5", TXT, 255}},
        {7, {"StartMin", I16, 0}},
    };
    static const std::vector<Versioned> automation = {
        {1, {"Number", I16, 0}},      {1, {"Day", I16, 0}},       {1, {"Days", TXT, 50}},
        {1, {"Time", TXT, 10}},       {1, {"Title", TXT, 255}},   {1, {"SourceChan", I16, 0}},
        {1, {"DestChan", I16, 0}},    {1, {"ReqSource", I16, 0}}, {1, {"ReqDest", I16, 0}},
        {1, {"Active", I16, 0}},      {1, {"Relay", I16, 0}},     {1, {"Opto", I16, 0}},
        {1, {"Salvo", I16, 0}},       {1, {"VChan", I16, 0}},     {1, {"Gain", I16, 0}},
        {1, {"xcontrol", I16, 0}},    {1, {"rcontrol", I16, 0}},  {1, {"scontrol", I16, 0}},
        {1, {"vcontrol", I16, 0}},    {1, {"Type", I16, 0}},      {1, {"Condition", I16, 0}},
        {1, {"FileName", TXT, 255}},  {1, {"FileType", I16, 0}},  {2, {"TriggerSource", I16, 0}},
        {2, {"TriggerDest", I16, 0}}, {2, {"TControl", I16, 0}},  {2, {"Message", TXT, 255}},
        {2, {"MControl", I16, 0}},    {2, {"MType", I16, 0}},     {2, {"Method", TXT, 20}},
        {2, {"Future1", TXT, 255}},   {2, {"Future2", TXT, 255}}, {2, {"Future3", TXT, 255}},
        {2, {"Future4", TXT, 255}},   {2, {"Future5", TXT, 255}}, {4, {"MIPAddress", TXT, 20}},
        {4, {"MIPPort", I16, 0}},     {4, {"MFrame", I16, 0}},    {4, {"MSlot", I16, 0}},
        {4, {"MPort", I16, 0}},       {4, {"MCommPort", I16, 0}}, {4, {"MBaudRate", I16, 0}},
        {6, {"Color", I32, 0}},
    };
    static const std::vector<Versioned> none;
    if (name == "Type")
        return type;
    if (name == "Server")
        return server;
    if (name == "Info")
        return info;
    if (name == "Automation")
        return automation;
    return none;
}

}  // namespace

std::vector<ColumnSpec> SchemaColumns(const std::string& table, int version) {
    std::vector<ColumnSpec> out;
    for (const Versioned& v : Table(table))
        if (v.Since <= version)
            out.push_back(v.Column);
    return out;
}

void CreateEventDatabase(DBEngine& engine, const std::string& path, int version) {
    if (version < 1 || version > CurrentSchemaVersion)
        throw Fault(faults::InvalidProcedureCall, "Schema version must be 1 to 7");
    Database db = engine.CreateDatabase(path);
    db.BeginTrans();
    for (const char* name : {"Type", "Server", "Info", "Automation"}) {
        TableDef def = db.CreateTableDef(name);
        for (const ColumnSpec& c : SchemaColumns(name, version))
            def.AppendField(TableDef::CreateField(c.Name, c.Type, c.Size));
        db.AppendTableDef(def);
    }
    Recordset type = db.OpenRecordset("Type");
    type.AddNew();
    type.SetValue("Type", "Automation");
    type.Update();
    Recordset server = db.OpenRecordset("Server");
    server.AddNew();
    server.SetValue("IPPort", DbValue(int64_t{1250}));
    server.SetValue("IPAddr", "0.0.0.0");
    if (version >= 5) {
        server.SetValue("SlaveIPPort", "1250");
        server.SetValue("SlaveIPAddr", "0.0.0.0");
    }
    if (version >= 7)
        server.SetValue("TaskViewDB", "");
    server.Update();
    Recordset info = db.OpenRecordset("Info");
    info.AddNew();
    info.SetValue("Version", DbValue(int64_t{version}));
    if (version >= 7)
        info.SetValue("StartMin", DbValue(int64_t{0}));
    info.Update();
    db.CommitTrans();
}

}  // namespace qtx
