#pragma once
// Helpers of the fault and soak tests: a started engine, checks run in an
// unprivileged child process, and a second process holding a lock on an SQLite file.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"

namespace qtx::test {

// Monday 7 December 2026, 09:00:00.005.
inline constexpr LocalDateTime kMonday{2026, 12, 7, 9, 0, 0, 5};

// Writes the database with these rows and an event on Tuesday, starts the engine and marks both
// switcher flags up (no switcher behind them: every poll write fails and is reported).
inline void StartWith(EngineHarness& h, std::vector<EventRow> rows) {
    rows.push_back(Event(99, 1, "08:00:00", "tuesday"));
    h.WriteDatabase(rows);
    h.Start();
    h.MarkSwitcherUp();
}

// Three ticks in one second: the third runs the database watch.
inline void WatchAt(EngineHarness& h, int hh, int mm, int ss) {
    for (int i = 0; i < 3; ++i)
        h.TickAt(hh, mm, ss, 5 + 200 * i);
}

// Runs checks in a child process that has dropped to uid 65534 (root ignores permission bits);
// a failed expectation there fails the test through the child's exit status.
inline void AsNobody(const std::function<void()>& checks) {
    std::fflush(nullptr);  // nothing buffered is printed twice
    const int status = RunAsNobody(
        [](void* f) {
            (*static_cast<const std::function<void()>*>(f))();
            std::fflush(nullptr);
            ::_exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        const_cast<std::function<void()>*>(&checks));
    EXPECT_EQ(status, 0) << "the checks in the child process failed";
}

// Another process holding a transaction on an SQLite file, begun by sql: "BEGIN IMMEDIATE; ..."
// (a write lock that still lets readers in) or "BEGIN EXCLUSIVE; ..." (nobody else reads
// either). Finish() commits (or rolls back) and waits for the process to end.
class LockHolder {
  public:
    LockHolder(const std::string& path, const std::string& sql) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        if ((pid_ = ::fork()) == 0) {
            sqlite3* db = nullptr;
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
            char c = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) ? 'n' : 'y';
            (void)!::write(up[1], &c, 1);
            (void)!::read(down[0], &c, 1);
            ::_exit(sqlite3_exec(db, c == 'c' ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr));
        }
        char ok = 'n';
        holding_ = ::read(up[0], &ok, 1) == 1 && ok == 'y';
        for (int fd : {up[0], up[1], down[0]})
            ::close(fd);
        command_ = down[1];
    }
    ~LockHolder() { Finish(false); }
    bool Holding() const { return holding_; }
    void Finish(bool commit) {
        if (pid_ > 0 && ::write(command_, commit ? "c" : "r", 1) == 1)
            ::waitpid(std::exchange(pid_, -1), nullptr, 0);
    }

  private:
    pid_t pid_ = -1;
    int command_ = -1;
    bool holding_ = false;
};

}  // namespace qtx::test
