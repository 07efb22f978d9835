#pragma once
// Helpers of the fault and soak tests: a started engine, checks run in an
// unprivileged child process, and a second connection holding a lock on an SQLite file.
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
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"

namespace qtx::test {

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

// Another connection holding a transaction on an SQLite file, begun by sql: "BEGIN IMMEDIATE; ..."
// (a write lock that still lets readers in) or "BEGIN EXCLUSIVE; ..." (nobody else reads
// either). Finish() commits (or rolls back) and waits for the connection to close. It lives on
// a thread of its own, not in a forked child: a child forked while one of the engine's threads
// held an SQLite or allocator lock would wait for it forever. SQLite's locks hold between
// connections of one process as between processes.
class LockHolder {
  public:
    LockHolder(const std::string& path, const std::string& sql) {
        std::promise<bool> began;
        std::future<bool> holding = began.get_future();
        std::future<bool> command = command_.get_future();
        thread_ = std::thread([path, sql, began = std::move(began),
                               command = std::move(command)]() mutable {
            sqlite3* db = nullptr;
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
            began.set_value(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
            const bool commit = command.get();
            sqlite3_exec(db, commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close_v2(db);
        });
        holding_ = holding.get();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    ~LockHolder() { Finish(false); }
    bool Holding() const { return holding_; }
    void Finish(bool commit) {
        if (!thread_.joinable())
            return;
        command_.set_value(commit);
        thread_.join();
    }

  private:
    std::promise<bool> command_;
    std::thread thread_;
    bool holding_ = false;
};

}  // namespace qtx::test
