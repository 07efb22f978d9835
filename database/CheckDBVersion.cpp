// Raising an event database to the current schema version, one version at a time.
#include <optional>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "database/DiskWork.h"

namespace qtx {

namespace {

struct NewField {
    const char* name;
    int type;
    int size;
};

void AddFields(Database& db, const char* table, std::initializer_list<NewField> fields) {
    TableDef def = db.TableDefs(table);
    for (const NewField& f : fields)
        def.AppendField(TableDef::CreateField(f.name, f.type, f.size));
}

// One upgrade step: its columns and its new version number are stored together, so a step
// stopped by a fault (a lock, a full disk) leaves the file at the version before it.
template <class F>
void Step(Database& db, F&& body) {
    db.BeginTrans();
    body();
    db.CommitTrans();
}

}  // namespace

void DiskWork::CheckDBVersion() {
    std::optional<Database> db;
    try {
        db.emplace(db_.OpenDatabase(vars_.DBPath));
    } catch (...) {
        logs_.ReportError("Invalid Automation DB");
        return;
    }
    try {
        std::optional<Recordset> info;
        try {
            info.emplace(db->OpenRecordset("Info"));
        } catch (const Fault& f) {
            if (f.Number != faults::DbTableNotFound)
                throw;
            // A file without Info is a version 1 file.
            TableDef def = db->CreateTableDef("Info");
            def.AppendField(TableDef::CreateField("Version", dbtype::Text, 10));
            for (const char* name : {"Future1", "Future2", "Future3", "Future4", "Future5"})
                def.AppendField(TableDef::CreateField(name, dbtype::Text, 255));
            db->AppendTableDef(def);
            Recordset fresh = db->OpenRecordset("Info");
            fresh.AddNew();
            fresh.SetValue("Version", DbValue(int64_t{1}));
            fresh.Update();
            fresh.Close();
            info.emplace(db->OpenRecordset("Info"));
        }

        auto version = [&] { return info->Value("Version").AsNumber(); };
        auto setVersion = [&](int64_t n) {
            info->Edit();
            info->SetValue("Version", DbValue(n));
            info->Update();
        };
        const int I16 = dbtype::Integer, I32 = dbtype::Long, TXT = dbtype::Text;

        if (version() < 7) {
            if (version() == 1)
                Step(*db, [&] {
                    AddFields(*db, "Automation",
                              {{"TriggerSource", I16, 0},
                               {"TriggerDest", I16, 0},
                               {"TControl", I16, 0},
                               {"Message", TXT, 255},
                               {"MControl", I16, 0},
                               {"MType", I16, 0},
                               {"Method", TXT, 20},
                               {"Future1", TXT, 255},
                               {"Future2", TXT, 255},
                               {"Future3", TXT, 255},
                               {"Future4", TXT, 255},
                               {"Future5", TXT, 255}});
                    setVersion(2);
                });
            if (version() == 2)
                Step(*db, [&] { setVersion(3); });
            if (version() == 3)
                Step(*db, [&] {
                    AddFields(*db, "Automation",
                              {{"MIPAddress", TXT, 20},
                               {"MIPPort", I16, 0},
                               {"MFrame", I16, 0},
                               {"MSlot", I16, 0},
                               {"MPort", I16, 0},
                               {"MCommPort", I16, 0},
                               {"MBaudRate", I16, 0}});
                    setVersion(4);
                });
            if (version() == 4)
                Step(*db, [&] {
                    AddFields(*db, "Server", {{"SlaveIPPort", TXT, 10}, {"SlaveIPAddr", TXT, 15}});
                    setVersion(5);
                });
            if (version() == 5)
                Step(*db, [&] {
                    AddFields(*db, "Automation", {{"Color", I32, 0}});
                    setVersion(6);
                    // Every existing row gets the default colour (white), in one statement.
                    db->Execute("UPDATE Automation SET Color = 16777215");
                });
            if (version() == 6)
                Step(*db, [&] {
                    AddFields(*db, "Server", {{"TaskViewDB", TXT, 255}});
                    info->Close();
                    info.reset();
                    AddFields(*db, "Info", {{"StartMin", I16, 0}});
                    info.emplace(db->OpenRecordset("Info"));
                    info->Edit();
                    info->SetValue("Version", DbValue(int64_t{7}));
                    info->SetValue("StartMin", DbValue(int64_t{0}));
                    info->Update();
                });
        }
        info->Close();
        db->Close();
    } catch (...) {
        logs_.ReportError("Error Checking DB Version");
    }
}

}  // namespace qtx
