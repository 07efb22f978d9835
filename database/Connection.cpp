#include "database/Connection.h"

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "database/DeclaredType.h"

namespace qtx::db {

namespace {

const char* Description(int32_t number) {
    switch (number) {
        case faults::DbUpdateWithoutEdit:
            return "Update or CancelUpdate without AddNew or Edit";
        case faults::DbNoCurrentRecord:
            return "No current record";
        case faults::DbFileNotFound:
            return "Couldn't find file";
        case faults::DbCannotOpen:
            return "Cannot open database; not a database file";
        case faults::DbFileInUse:
            return "Could not use file; file already in use";
        case faults::DbReadOnly:
            return "Cannot update; database is read-only";
        case faults::DbTableExists:
            return "Table already exists";
        case faults::DbTableNotFound:
            return "Cannot find the input table";
        case faults::DbFieldExists:
            return "Cannot define field more than once";
        case faults::DbFieldTooSmall:
            return "The field is too small for the data";
        case faults::DbItemNotFound:
            return "Item not found in this collection";
        case faults::DbLocked:
            return "Could not update; currently locked";
        case faults::DbNumericOverflow:
            return "Numeric field overflow";
        case faults::DbDataTypeMismatch:
            return "Data type mismatch";
        case faults::DiskFull:
            return "Disk full";
        case faults::DeviceIOError:
            return "Device I/O error";
        case faults::PermissionDenied:
            return "Permission denied";
        case faults::PathFileAccess:
            return "Path/File access error";
        case faults::FileExists:
            return "File already exists";
        default:
            return "Database engine error";
    }
}

}  // namespace

void RaiseDb(int32_t number) {
    throw Fault(number, Description(number));
}

void RaiseSqlite(int rc, sqlite3* handle) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            RaiseDb(faults::DbLocked);
        case SQLITE_READONLY:
            RaiseDb(faults::DbReadOnly);
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            RaiseDb(faults::DbCannotOpen);
        case SQLITE_CANTOPEN:
            RaiseDb(faults::PathFileAccess);
        case SQLITE_FULL:
            RaiseDb(faults::DiskFull);
        case SQLITE_IOERR:
            RaiseDb(faults::DeviceIOError);
        case SQLITE_PERM:
        case SQLITE_AUTH:
            RaiseDb(faults::PermissionDenied);
        case SQLITE_MISMATCH:
            RaiseDb(faults::DbDataTypeMismatch);
        case SQLITE_NOMEM:
            throw Fault(faults::OutOfMemory, "Out of memory");
        default:
            break;
    }
    std::string detail = handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
    throw Fault(faults::DbEngineError, "Database engine error: " + detail);
}

void Connection::Close() noexcept {
    if (!handle)
        return;
    if (!sqlite3_get_autocommit(handle))
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction = false;
    // Statements still held by open cursors are finalised later; close_v2 waits for them.
    sqlite3_close_v2(handle);
    handle = nullptr;
}

sqlite3* Connection::Handle() const {
    if (!handle)
        throw Fault(faults::DbEngineError, "Object invalid or no longer set");
    return handle;
}

Stmt Connection::Prepare(const std::string& sql) const {
    sqlite3* h = Handle();
    sqlite3_stmt* s = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(h, sql.c_str(), static_cast<int>(sql.size()), &s, &tail);
    if (rc != SQLITE_OK)
        RaiseSqlite(rc, h);
    Stmt first(s);
    // One call runs one statement. SQLite would quietly leave the rest of the text unrun, so
    // a second statement is refused before anything runs rather than lost.
    if (tail && *tail) {
        sqlite3_stmt* next = nullptr;
        rc = sqlite3_prepare_v2(h, tail, -1, &next, nullptr);
        Stmt second(next);
        if (rc != SQLITE_OK)
            RaiseSqlite(rc, h);
        if (second)
            throw Fault(faults::DbEngineError,
                        "Database engine error: more than one statement in one call");
    }
    return first;
}

void Connection::Exec(const std::string& sql) const {
    Stmt s = Prepare(sql);
    while (Step(s.get())) {
    }
}

bool Connection::Step(sqlite3_stmt* s) const {
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    sqlite3_reset(s);
    RaiseSqlite(rc, Handle());
}

std::string Connection::FindTable(const std::string& name) const {
    Stmt s =
        Prepare("SELECT name FROM sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (!Step(s.get()))
        return "";
    const unsigned char* text = sqlite3_column_text(s.get(), 0);
    return text ? reinterpret_cast<const char*>(text) : "";
}

std::vector<FieldDef> Connection::TableColumns(const std::string& table) const {
    Stmt s = Prepare("SELECT name, type FROM pragma_table_info(?1)");
    sqlite3_bind_text(s.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    std::vector<FieldDef> out;
    while (Step(s.get())) {
        FieldDef f;
        auto text = [&](int i) {
            const unsigned char* t = sqlite3_column_text(s.get(), i);
            return std::string(t ? reinterpret_cast<const char*>(t) : "");
        };
        f.Name = text(0);
        f.DeclaredType = text(1);
        ParseDeclaredType(f.DeclaredType, f.Type, f.Size);
        out.push_back(std::move(f));
    }
    return out;
}

std::string QuoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

void BindRaw(sqlite3_stmt* s, int i, const RawValue& v) {
    switch (v.kind) {
        case RawValue::Null:
            sqlite3_bind_null(s, i);
            break;
        case RawValue::Integer:
            sqlite3_bind_int64(s, i, v.integer);
            break;
        case RawValue::Real:
            sqlite3_bind_double(s, i, v.real);
            break;
        case RawValue::Text:
            sqlite3_bind_text(s, i, v.bytes.data(), static_cast<int>(v.bytes.size()),
                              SQLITE_TRANSIENT);
            break;
        case RawValue::Blob:
            sqlite3_bind_blob(s, i, v.bytes.data(), static_cast<int>(v.bytes.size()),
                              SQLITE_TRANSIENT);
            break;
    }
}

RawValue ColumnRaw(sqlite3_stmt* s, int i) {
    RawValue v;
    switch (sqlite3_column_type(s, i)) {
        case SQLITE_INTEGER:
            v.kind = RawValue::Integer;
            v.integer = sqlite3_column_int64(s, i);
            break;
        case SQLITE_FLOAT:
            v.kind = RawValue::Real;
            v.real = sqlite3_column_double(s, i);
            break;
        case SQLITE_TEXT: {
            v.kind = RawValue::Text;
            const unsigned char* t = sqlite3_column_text(s, i);
            v.bytes.assign(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(s, i)));
            break;
        }
        case SQLITE_BLOB: {
            v.kind = RawValue::Blob;
            const void* b = sqlite3_column_blob(s, i);
            if (b)
                v.bytes.assign(static_cast<const char*>(b),
                               static_cast<size_t>(sqlite3_column_bytes(s, i)));
            break;
        }
        default:
            break;
    }
    return v;
}

}  // namespace qtx::db
