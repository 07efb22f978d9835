#pragma once
// The SQLite handle shared by a database and its cursors, and the helpers every part of the
// database layer uses: statements with RAII, SQLite result codes turned into faults, quoting.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/DBEngine.h"

namespace qtx::db {

struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// Resets a statement when it goes out of scope, so no statement stays active between calls.
class StmtReset {
  public:
    explicit StmtReset(sqlite3_stmt* s) : s_(s) {}
    ~StmtReset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    StmtReset(const StmtReset&) = delete;
    StmtReset& operator=(const StmtReset&) = delete;

  private:
    sqlite3_stmt* s_;
};

// Raises the fault for an SQLite result code.
[[noreturn]] void RaiseSqlite(int rc, sqlite3* handle);
// Raises a database fault with a fixed description.
[[noreturn]] void RaiseDb(int32_t number);

struct Connection {
    sqlite3* handle = nullptr;
    std::string path;
    bool inTransaction = false;

    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Rolls back a pending transaction and closes the handle; cursors still alive fault when used.
    void Close() noexcept;
    // The open handle; fault when the database was closed.
    sqlite3* Handle() const;

    Stmt Prepare(const std::string& sql) const;
    // Runs a statement that needs no bindings, to its end.
    void Exec(const std::string& sql) const;
    // Steps a prepared statement once: true when it gave a row, false when it is done.
    bool Step(sqlite3_stmt* s) const;

    // The table's name as the file spells it, or "" when there is no such table (any case).
    std::string FindTable(const std::string& name) const;
    // The columns of an existing table, in their order, with types from their declarations.
    std::vector<FieldDef> TableColumns(const std::string& table) const;
};

// "name" quoted as an SQL identifier.
std::string QuoteName(const std::string& name);
// Names compared without regard to (ASCII) letter case.
bool SameName(const std::string& a, const std::string& b);

// Binds a raw value to parameter i (1-based).
void BindRaw(sqlite3_stmt* s, int i, const RawValue& v);
// Reads column i of the current result row.
RawValue ColumnRaw(sqlite3_stmt* s, int i);

}  // namespace qtx::db
