#pragma once
// The group's one schedule: the shared part of each member's database file kept in etcd, each
// member writing the group's schedule into its own file and publishing its own file's changes.
//
// Keys under qtx/GROUP/schedule/ (values JSON, column values exactly as the file holds them):
//   event/NUMBER     the event's Automation row(s) with its date rules and calendar uses;
//                    {"deleted": true} once the event is gone (kept, so that its mod_revision
//                    still guards a later edit)
//   calendar/NAME    a calendar and its dates (or {"deleted": true})
//   routes           the alarm routes table
//   settings         ConfirmWithin and LinkAlarmAfter
// and qtx/GROUP/seeded, put once by the member that seeded an empty group.
//
// The schedule is kept on a thread of its own, with its own etcd connection, so that a file kept
// busy by another program (SQLite waits up to 1.5 s for it) never holds up the membership's lease
// renewal or campaign; the membership reads CaughtUp, and the claim's transaction on the engine's
// thread asks for ConsumeTxn and tells Consumed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "cluster/Etcd.h"
#include "cluster/GroupFile.h"
#include "cluster/RunGate.h"
#include "database/DBEngine.h"

namespace qtx::cluster {

// How often the file and the group's schedule are compared.
inline constexpr std::chrono::milliseconds kSyncEvery{200};

class GroupSchedule {
  public:
    // dbPath: the member's own database file; config: the group it belongs to. Starts the
    // schedule's thread; the destructor stops it.
    GroupSchedule(std::string dbPath, const GroupConfig& config);
    GroupSchedule(const GroupSchedule&) = delete;
    GroupSchedule& operator=(const GroupSchedule&) = delete;

    // True once this member holds the group's schedule (or has no file to share): only then
    // may it campaign for the leadership.
    bool CaughtUp() const { return caughtUp_.load(); }

    // For a claim that consumes a marking: the ops of a nested transaction that puts the event
    // with its marking consumed only while the event is as this member last saw it. Empty when
    // this member has no record of the event.
    std::optional<nlohmann::json> ConsumeTxn(int32_t number, Marking consumed) const;
    // The claim's transaction held with the marking consumed at revision.
    void Consumed(int32_t number, Marking consumed, int64_t revision);

    std::vector<ScheduleNotice> TakeNotices();

    std::string Prefix() const { return "qtx/" + group_ + "/schedule/"; }

  private:
    using State = std::map<std::string, std::string>;  // key (after the prefix) -> value
    // The schedule's thread: a round every kSyncEvery.
    void Run(std::stop_token stop);
    // One round: catch up (seed an empty group, or take the group's schedule), then publish the
    // file's own changes, then apply the group's changes. Returns false when etcd failed.
    bool Step(etcd::Client& client, etcd::Clock::time_point deadline, std::stop_token stop);
    struct Held {
        std::string Value;
        int64_t Mod = 0;  // the key's mod_revision in etcd
    };

    std::optional<State> ReadFile();
    // Writes the keys' values into the file in one transaction; false when another program
    // wrote the file since this member last looked (its changes are published first).
    bool WriteFile(const State& values, bool evenIfChanged);
    bool CatchUp(etcd::Client& client, etcd::Clock::time_point deadline, std::stop_token stop);
    bool Seed(etcd::Client& client, const State& local, etcd::Clock::time_point deadline,
              std::stop_token stop);
    bool Publish(etcd::Client& client, etcd::Clock::time_point deadline, std::stop_token stop);
    bool Apply(etcd::Client& client, etcd::Clock::time_point deadline, std::stop_token stop);
    void Notice(const std::string& key, const std::string& mine, const std::string& theirs,
                bool overwritten);
    // The file's change counter with its inode, size and modification time: a file replaced
    // whole (by a copy) changes it even where the copy's counter happens to be the same.
    struct Stamp {
        uint32_t Counter = 0;
        int64_t Inode = 0, Size = 0, Mtime = 0;
        bool operator==(const Stamp&) const = default;
    };
    Stamp StampOf(Database& db) const;
    Stamp Current();

    const std::string dbPath_, group_, node_;
    const std::chrono::seconds lease_;
    std::atomic<bool> caughtUp_{false};
    // The thread's own, beside revision_, present_ and stamp_.
    std::unique_ptr<etcd::Client> client_;
    bool present_ = false;   // the file existed when last looked at
    Stamp stamp_;            // the file's stamp after this member's last look
    int64_t revision_ = 0;   // etcd's revision up to which the group's changes are applied
    mutable std::mutex mu_;  // held_ and notices_ (Consume runs on the engine's thread)
    std::map<std::string, Held> held_;  // the group's schedule as last applied or published
    std::vector<ScheduleNotice> notices_;
    std::condition_variable_any wake_;

    std::jthread thread_;  // last: started once everything above exists, stopped first
};

}  // namespace qtx::cluster
