// Opening, creating and compacting database files; table definitions and transactions.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "common/Text.h"
#include "database/Connection.h"
#include "database/DBEngine.h"
#include "database/DeclaredType.h"

namespace qtx {

using db::RaiseDb;

namespace {

// Opens a handle with the given flags and the settings every connection uses: a bounded wait
// for locks held by other processes, and the rollback journal (the file stays one file and its
// modification time moves with every change). A connection is used by one thread only, so it
// goes without SQLite's own mutex.
std::shared_ptr<db::Connection> Connect(const std::string& path, int flags) {
    auto c = std::make_shared<db::Connection>();
    c->path = path;
    sqlite3* h = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &h, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(h);
        if (access(path.c_str(), R_OK) != 0 && errno == EACCES)
            RaiseDb(faults::PermissionDenied);
        RaiseDb(faults::DbCannotOpen);
    }
    c->handle = h;
    sqlite3_extended_result_codes(h, 0);
    sqlite3_busy_timeout(h, DBEngine::BusyTimeoutMs);
    return c;
}

// The main file of a connection, as SQLite holds it open.
sqlite3_file* MainFile(sqlite3* h) {
    sqlite3_file* f = nullptr;
    if (sqlite3_file_control(h, "main", SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK ||
        f == nullptr || f->pMethods == nullptr)
        throw Fault(faults::DbEngineError, "Database engine error: no file behind the database");
    return f;
}

int StopWhenFlagged(void* flag) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1 : 0;
}

void RequireAbsent(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        RaiseDb(faults::FileExists);
}

}  // namespace

Database::Database(std::shared_ptr<db::Connection> c) : conn_(std::move(c)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Database DBEngine::OpenDatabase(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            RaiseDb(faults::DbFileNotFound);
        RaiseFileFault(errno);
    }
    if (S_ISDIR(st.st_mode))
        RaiseDb(faults::PathFileAccess);
    // SQLite would take an empty file for an empty database; an event database is never empty.
    if (st.st_size == 0)
        RaiseDb(faults::DbCannotOpen);
    auto c = Connect(path, SQLITE_OPEN_READWRITE);
    // The first read checks the header: a file that is not a database faults here.
    c->Exec("PRAGMA journal_mode=DELETE");
    c->Exec("SELECT count(*) FROM sqlite_schema");
    return Database(std::move(c));
}

Database DBEngine::CreateDatabase(const std::string& path) {
    RequireAbsent(path);
    auto c = Connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    c->Exec("PRAGMA journal_mode=DELETE");
    // Write the header now, so the new file is a database even before it has tables.
    c->Exec("PRAGMA user_version=0");
    c->Exec("VACUUM");
    return Database(std::move(c));
}

void DBEngine::CompactDatabase(const std::string& source, const std::string& target) {
    Database src = OpenDatabase(source);
    RequireAbsent(target);
    db::Stmt s = src.conn_->Prepare("VACUUM INTO ?1");
    sqlite3_bind_text(s.get(), 1, target.data(), static_cast<int>(target.size()), SQLITE_TRANSIENT);
    src.conn_->Step(s.get());
    s.reset();
    src.Close();
}

TableDef Database::TableDefs(const std::string& table) {
    std::string name = conn_->FindTable(table);
    if (name.empty())
        RaiseDb(faults::DbItemNotFound);
    TableDef def;
    def.conn_ = conn_;
    def.name_ = name;
    def.fields_ = conn_->TableColumns(name);
    def.existing_ = true;
    return def;
}

bool Database::HasTable(const std::string& table) {
    return !conn_->FindTable(table).empty();
}

std::vector<std::string> Database::TableNames() {
    db::Stmt s = conn_->Prepare(
        "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite_%' "
        "ORDER BY rowid");
    std::vector<std::string> out;
    while (conn_->Step(s.get()))
        out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
    return out;
}

TableDef Database::CreateTableDef(const std::string& table) {
    conn_->Handle();
    TableDef def;
    def.conn_ = conn_;
    def.name_ = table;
    return def;
}

void Database::AppendTableDef(const TableDef& def) {
    if (HasTable(def.name_))
        RaiseDb(faults::DbTableExists);
    std::string cols;
    for (size_t i = 0; i < def.fields_.size(); ++i)
        cols += (i ? ", " : "") + db::QuoteName(def.fields_[i].Name) + " " +
                def.fields_[i].DeclaredType;
    conn_->Exec("CREATE TABLE " + db::QuoteName(def.name_) + " (" + cols + ")");
}

void Database::BeginTrans() {
    if (conn_->inTransaction)
        throw Fault(faults::DbEngineError, "Transaction already begun");
    conn_->Exec("BEGIN IMMEDIATE");
    conn_->inTransaction = true;
}

void Database::BeginRead() {
    if (conn_->inTransaction)
        throw Fault(faults::DbEngineError, "Transaction already begun");
    conn_->Exec("BEGIN DEFERRED");
    conn_->inTransaction = true;
}

void Database::CommitTrans() {
    if (!conn_->inTransaction)
        throw Fault(faults::DbEngineError, "Commit without a transaction");
    conn_->Exec("COMMIT");
    conn_->inTransaction = false;
}

void Database::Rollback() {
    if (!conn_->inTransaction)
        throw Fault(faults::DbEngineError, "Rollback without a transaction");
    conn_->inTransaction = false;
    conn_->Exec("ROLLBACK");
}

bool Database::InTransaction() const {
    return conn_ && conn_->inTransaction;
}

int64_t Database::Execute(const std::string& sql, const std::vector<DbValue>& params) {
    sqlite3* h = conn_->Handle();
    db::Stmt s = conn_->Prepare(sql);
    for (size_t i = 0; i < params.size(); ++i) {
        const int at = static_cast<int>(i) + 1;
        const DbValue& v = params[i];
        if (v.IsNull()) {
            sqlite3_bind_null(s.get(), at);
        } else if (v.IsText()) {
            const std::string text = Cp1252ToUtf8(v.AsText());
            sqlite3_bind_text(s.get(), at, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(s.get(), at, v.AsNumber());
        }
    }
    const int64_t before = sqlite3_total_changes64(h);
    while (conn_->Step(s.get())) {
    }
    return sqlite3_total_changes64(h) - before;
}

std::vector<std::vector<RawValue>> Database::QueryRaw(const std::string& sql) {
    db::Stmt s = conn_->Prepare(sql);
    std::vector<std::vector<RawValue>> rows;
    const int n = sqlite3_column_count(s.get());
    while (conn_->Step(s.get())) {
        std::vector<RawValue>& row = rows.emplace_back();
        for (int i = 0; i < n; ++i)
            row.push_back(db::ColumnRaw(s.get(), i));
    }
    return rows;
}

DbValue Database::QueryValue(const std::string& sql) {
    db::Stmt s = conn_->Prepare(sql);
    if (!conn_->Step(s.get()))
        return DbValue();
    return db::ToEngine(db::ColumnRaw(s.get(), 0));
}

void Database::Attach(const std::string& path, const std::string& name) {
    db::Stmt s = conn_->Prepare("ATTACH DATABASE ?1 AS " + db::QuoteName(name));
    sqlite3_bind_text(s.get(), 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
    conn_->Step(s.get());
}

uint32_t Database::ChangeCounter() {
    sqlite3_file* f = MainFile(conn_->Handle());
    unsigned char b[4] = {};
    const int rc = f->pMethods->xRead(f, b, sizeof b, 24);
    if (rc != SQLITE_OK)
        db::RaiseSqlite(rc, nullptr);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

std::string Database::FileBytes() {
    sqlite3_file* f = MainFile(conn_->Handle());
    BeginRead();
    try {
        conn_->Exec("SELECT count(*) FROM sqlite_schema");  // takes the read lock
        sqlite3_int64 size = 0;
        int rc = f->pMethods->xFileSize(f, &size);
        if (rc != SQLITE_OK)
            db::RaiseSqlite(rc, nullptr);
        std::string bytes(static_cast<size_t>(size), '\0');
        constexpr sqlite3_int64 Chunk = 1 << 20;
        for (sqlite3_int64 at = 0; at < size; at += Chunk) {
            const int n = static_cast<int>(std::min(Chunk, size - at));
            rc = f->pMethods->xRead(f, bytes.data() + at, n, at);
            if (rc != SQLITE_OK)
                db::RaiseSqlite(rc, nullptr);
        }
        CommitTrans();
        return bytes;
    } catch (...) {
        if (InTransaction())
            Rollback();
        throw;
    }
}

void Database::SetCancelFlag(const std::atomic<bool>* flag) {
    sqlite3* h = conn_->Handle();
    if (flag)
        sqlite3_progress_handler(h, 1000, StopWhenFlagged,
                                 const_cast<void*>(static_cast<const void*>(flag)));
    else
        sqlite3_progress_handler(h, 0, nullptr, nullptr);
}

void Database::SetLockWait(int ms) {
    sqlite3_busy_timeout(conn_->Handle(), ms);
}

void Database::Close() {
    if (conn_)
        conn_->Close();
}

const std::string& Database::Path() const {
    return conn_->path;
}

bool TableDef::HasField(const std::string& name) const {
    for (const FieldDef& f : fields_)
        if (db::SameName(f.Name, name))
            return true;
    return false;
}

FieldDef TableDef::CreateField(const std::string& name, int type, int size) {
    FieldDef f;
    f.Name = name;
    f.Type = type;
    f.Size = type == dbtype::Text ? size : 0;
    f.DeclaredType = db::DeclaredTypeFor(type, size);
    return f;
}

void TableDef::AppendField(const FieldDef& field) {
    if (existing_) {
        // The file may have changed since this definition was read: ask it again.
        fields_ = conn_->TableColumns(name_);
        if (HasField(field.Name))
            RaiseDb(faults::DbFieldExists);
        conn_->Exec("ALTER TABLE " + db::QuoteName(name_) + " ADD COLUMN " +
                    db::QuoteName(field.Name) + " " + field.DeclaredType);
    } else if (HasField(field.Name)) {
        RaiseDb(faults::DbFieldExists);
    }
    fields_.push_back(field);
}

}  // namespace qtx
