#include "console/SqliteFile.h"

#include <stdexcept>

namespace qtx::console {

SqliteFile::SqliteFile(const std::string& path) : path_(path) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK)
        throw std::runtime_error(path + ": cannot be opened (" +
                                 (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")");
    sqlite3_busy_timeout(db, 3000);
}

void SqliteFile::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(path_ + ": " + message);
    }
}

std::vector<std::string> SqliteFile::Columns(const std::string& table) {
    std::vector<std::string> names;
    Statement s(*this, "SELECT name FROM pragma_table_info(?)");
    sqlite3_bind_text(*s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (s.Step() == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*s, 0)));
    return names;
}

Statement::Statement(SqliteFile& file, const std::string& sql) : file_(file) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(file.Handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(file.Path() + ": " + sqlite3_errmsg(file.Handle()));
    stmt_.reset(stmt);
}

int Statement::Step() {
    int rc = sqlite3_step(stmt_.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw std::runtime_error(file_.Path() + ": " + sqlite3_errmsg(file_.Handle()));
    return rc;
}

}  // namespace qtx::console
