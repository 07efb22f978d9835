#pragma once
// A connection to the event database for the console's own reads and writes (settings), with a
// busy wait so the engine's short reads and the console's writes take turns.
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

namespace qtx::console {

class SqliteFile {
  public:
    // Opens an existing file; throws std::runtime_error naming the file when it cannot.
    explicit SqliteFile(const std::string& path);

    // Runs statements without results; throws std::runtime_error with SQLite's message.
    void Exec(const std::string& sql);
    // Column names of a table (empty when the table does not exist).
    std::vector<std::string> Columns(const std::string& table);
    sqlite3* Handle() { return db_.get(); }
    const std::string& Path() const { return path_; }

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    std::string path_;
    std::unique_ptr<sqlite3, Closer> db_;
};

// A prepared statement, finalised when it goes.
class Statement {
  public:
    Statement(SqliteFile& file, const std::string& sql);
    sqlite3_stmt* operator*() { return stmt_.get(); }
    // SQLITE_ROW, SQLITE_DONE; throws on an error.
    int Step();

  private:
    struct Finalizer {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    SqliteFile& file_;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

}  // namespace qtx::console
