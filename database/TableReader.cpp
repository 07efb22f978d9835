// The forward-only table walk: one statement stepped row by row, values read in place.
#include <cmath>

#include "common/Checked.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Text.h"
#include "database/Connection.h"
#include "database/DBEngine.h"
#include "database/DeclaredType.h"

namespace qtx {

struct TableReader::State {
    std::shared_ptr<db::Connection> conn;
    db::Stmt stmt;
    // The current row's storage class of each column, read once per row: a reader asks for
    // each value's class at least twice (Null? then how to convert), and each ask is an API call.
    std::vector<int> types;
    int Type(int column) const {
        return column >= 0 && static_cast<size_t>(column) < types.size()
                   ? types[static_cast<size_t>(column)]
                   : SQLITE_NULL;
    }
};

TableReader::TableReader(std::unique_ptr<State> s) : s_(std::move(s)) {}
TableReader::TableReader(TableReader&&) noexcept = default;
TableReader& TableReader::operator=(TableReader&&) noexcept = default;
TableReader::~TableReader() = default;

bool TableReader::Next() {
    sqlite3_stmt* st = s_->stmt.get();
    if (!s_->conn->Step(st)) {
        s_->types.clear();
        return false;
    }
    s_->types.resize(static_cast<size_t>(sqlite3_column_count(st)));
    for (size_t i = 0; i < s_->types.size(); ++i)
        s_->types[i] = sqlite3_column_type(st, static_cast<int>(i));
    return true;
}

bool TableReader::IsNull(int column) const {
    return s_->Type(column) == SQLITE_NULL;
}

int64_t TableReader::Number(int column) const {
    sqlite3_stmt* st = s_->stmt.get();
    switch (s_->Type(column)) {
        case SQLITE_INTEGER:
            return sqlite3_column_int64(st, column);
        case SQLITE_NULL:
            return DbValue().AsNumber();  // the fault for Null
        case SQLITE_FLOAT:
            return DbValue(sqlite3_column_double(st, column)).AsNumber();
        default:
            return DbValue(Text(column)).AsNumber();
    }
}

std::string TableReader::Text(int column) const {
    sqlite3_stmt* st = s_->stmt.get();
    switch (s_->Type(column)) {
        case SQLITE_NULL:
            return DbValue().AsText();  // the fault for Null
        case SQLITE_INTEGER:
            return std::to_string(sqlite3_column_int64(st, column));
        case SQLITE_FLOAT:
            return DbValue(sqlite3_column_double(st, column)).AsText();
        case SQLITE_BLOB: {
            const char* b = static_cast<const char*>(sqlite3_column_blob(st, column));
            return std::string(b ? b : "", static_cast<size_t>(sqlite3_column_bytes(st, column)));
        }
        default:
            break;
    }
    const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
    const size_t n = static_cast<size_t>(sqlite3_column_bytes(st, column));
    // Plain ASCII is the same in both encodings: taken whole.
    size_t i = 0;
    while (i < n && static_cast<unsigned char>(t[i]) < 0x80)
        ++i;
    if (i == n)
        return std::string(t, n);
    return Utf8ToCp1252(std::string(t, n));
}

TableReader Database::ReadTable(const std::string& table, const std::vector<std::string>& columns) {
    const std::string name = conn_->FindTable(table);
    if (name.empty())
        db::RaiseDb(faults::DbTableNotFound);
    const std::vector<FieldDef> fields = conn_->TableColumns(name);
    std::string list;
    for (const std::string& c : columns) {
        bool found = false;
        for (const FieldDef& f : fields)
            found = found || db::SameName(f.Name, c);
        if (!found)
            db::RaiseDb(faults::DbItemNotFound);
        list += (list.empty() ? "" : ", ") + db::QuoteName(c);
    }
    auto s = std::make_unique<TableReader::State>();
    s->conn = conn_;
    s->stmt = conn_->Prepare("SELECT " + list + " FROM " + db::QuoteName(name) + " ORDER BY rowid");
    return TableReader(std::move(s));
}

RawTable Database::CopyTable(const std::string& table) {
    const std::string name = conn_->FindTable(table);
    if (name.empty())
        db::RaiseDb(faults::DbTableNotFound);
    RawTable out;
    out.Fields = conn_->TableColumns(name);
    std::string list;
    for (const FieldDef& f : out.Fields)
        list += (list.empty() ? "" : ", ") + db::QuoteName(f.Name);
    if (list.empty())
        return out;
    db::Stmt s =
        conn_->Prepare("SELECT " + list + " FROM " + db::QuoteName(name) + " ORDER BY rowid");
    const int n = static_cast<int>(out.Fields.size());
    while (conn_->Step(s.get())) {
        std::vector<RawValue>& row = out.Rows.emplace_back();
        row.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            row.push_back(db::ColumnRaw(s.get(), i));
    }
    return out;
}

DbValue EngineValue(const RawValue& value) {
    return db::ToEngine(value);
}

int64_t Database::RowCount(const std::string& table) {
    const std::string name = conn_->FindTable(table);
    if (name.empty())
        db::RaiseDb(faults::DbTableNotFound);
    db::Stmt s = conn_->Prepare("SELECT count(*) FROM " + db::QuoteName(name));
    conn_->Step(s.get());
    return sqlite3_column_int64(s.get(), 0);
}

}  // namespace qtx
