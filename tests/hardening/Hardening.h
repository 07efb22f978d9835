#pragma once
// Helpers of the fault and soak tests: rows with extra fields, the titles of a list, checks run
// in a child process (whose exit status carries the verdict), and a second process holding a
// lock on an SQLite file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/EngineHarness.h"

namespace qtx::test {

// Monday 7 December 2026, 09:00:00.005.
inline constexpr LocalDateTime kMonday{2026, 12, 7, 9, 0, 0, 5};

inline EventRow With(EventRow row,
                     std::initializer_list<std::pair<const std::string, SqlValue>> more) {
    for (const auto& [k, v] : more)
        row[k] = v;
    return row;
}

inline std::vector<std::string> Titles(const std::vector<ListRow>& rows) {
    std::vector<std::string> t;
    for (const auto& r : rows)
        t.push_back(r.Title);
    return t;
}

inline bool Contains(const std::vector<std::string>& v, const std::string& s) {
    for (const auto& x : v)
        if (x == s)
            return true;
    return false;
}

// Three ticks in one second: the third runs the database watch.
inline void WatchAt(EngineHarness& h, int hh, int mm, int ss) {
    for (int i = 0; i < 3; ++i)
        h.TickAt(hh, mm, ss, 5 + 200 * i);
}

// Checks made in a child process: each failure is printed and counted; Exit() ends the child
// with 0 when all held, 1 otherwise.
class ChildChecks {
  public:
    bool Check(bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "child check failed: %s\n", what);
            ++failed_;
        }
        return ok;
    }
    [[noreturn]] void Exit() const {
        std::fflush(stderr);
        ::_exit(failed_ == 0 ? 0 : 1);
    }

  private:
    int failed_ = 0;
};

// Another process holding a transaction on an SQLite file: "BEGIN IMMEDIATE" (a write lock that
// still lets readers in) or "BEGIN EXCLUSIVE" (nobody else reads either), with the statements
// given run inside it. Finish() commits (or rolls back) and waits for the process to end.
class LockHolder {
  public:
    LockHolder(const std::string& path, const std::string& begin, const std::string& inside) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            sqlite3* db = nullptr;
            char ok = 'n';
            if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                sqlite3_exec(db, (begin + ";" + inside).c_str(), nullptr, nullptr, nullptr) ==
                    SQLITE_OK)
                ok = 'y';
            (void)!::write(toParent[1], &ok, 1);
            char how = 'r';
            (void)!::read(toChild[0], &how, 1);
            sqlite3_exec(db, how == 'c' ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        command_ = toChild[1];
        char ok = 'n';
        if (::read(toParent[0], &ok, 1) == 1)
            holding_ = ok == 'y';
        ::close(toParent[0]);
    }
    ~LockHolder() { Finish(false); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool Holding() const { return holding_; }
    void Finish(bool commit) {
        if (pid_ <= 0)
            return;
        const char how = commit ? 'c' : 'r';
        (void)!::write(command_, &how, 1);
        ::close(command_);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int command_ = -1;
    bool holding_ = false;
};

// One value of a query on an SQLite file ("<error>" when it fails).
inline std::string QueryOne(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out = "<error>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(s, 0);
            out = t ? reinterpret_cast<const char*>(t) : "<null>";
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return out;
}

}  // namespace qtx::test
