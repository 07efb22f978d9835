#pragma once
// The console's view of the engine: a subscriber of the engine's state channel
// ("qtx-automation.sock") on its own thread, reconnecting while the engine is away. It keeps what
// the engine's window shows (snapshot and changes merged), the recent changes for the status
// stream, and the counts the metrics report. The engine never waits for it. It believes only a
// peer of its own user or of the program folder's owner, applies only lines of a known kind and
// shape, and holds at most one bounded line; whatever else arrives is counted and dropped.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Limits.h"
#include "ui/StateMessages.h"

namespace qtx::console {

class EngineState {
  public:
    static constexpr std::array<int64_t, 10> kConfirmBucketsMs = {5,   10,  25,   50,   100,
                                                                  250, 500, 1000, 2500, 10000};

    // folder ends in "/".
    explicit EngineState(std::string folder);
    ~EngineState();
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    // wake is called, on the state's thread and without its lock, after each batch of changes
    // and when it stops. Set before Start.
    void OnChange(std::function<void()> wake) { onChange_ = std::move(wake); }
    // Gets every alarm the engine tells (its stored form; live false for the snapshot's), on the
    // state's thread and without its lock. Set before Start.
    using AlarmSeen = std::function<void(const nlohmann::json& stored, bool live)>;
    void OnAlarm(AlarmSeen seen) { onAlarm_ = std::move(seen); }
    void Start();
    // Ends the thread and wakes every waiting stream.
    void Stop();

    // {"engine": {"running": bool, "untrustedPeer": bool}, "caption", "link", "slave", "panels",
    // "next", "history", ...}
    nlohmann::json Status() const;

    // What a stream has to send after it has seen up to seq in generation gen: the whole status
    // (Full, after a reconnect or when it fell too far behind) or the change lines since. Waits up
    // to timeout for something new; nullopt when nothing came (or the state is stopping).
    struct Update {
        bool Full = false;
        std::string Status;                // when Full
        std::vector<std::string> Changes;  // otherwise, one JSON object each
        uint64_t Seq = 0;
        uint64_t Generation = 0;
    };
    std::optional<Update> WaitAfter(uint64_t seq, uint64_t gen, std::chrono::milliseconds timeout);
    bool Stopping() const { return stop_; }

    // For the metrics, counted from the outcomes seen since the console started.
    struct Counts {
        bool Running = false;
        bool Server = false, Switcher = false;
        bool SlaveEnabled = false, SlaveServer = false, SlaveSwitcher = false;
        uint64_t Ran = 0;
        std::map<std::string, uint64_t> Refused;  // by reason
        std::optional<std::chrono::system_clock::time_point> LastRun;
        int64_t LastLatenessMs = -1;
        // Confirmed and not confirmed crosspoint commands by link (0, 1), and the times of the
        // confirmed ones in the buckets of kConfirmBucketsMs (each counts those at or below its
        // bound; the last is everything).
        std::map<std::pair<int, bool>, uint64_t> Takes;
        std::vector<uint64_t> ConfirmBuckets = std::vector<uint64_t>(kConfirmBucketsMs.size() + 1);
        uint64_t ConfirmCount = 0;
        int64_t ConfirmSumMs = 0;
        // Lines not applied, by problem (state::LineProblemName).
        std::map<std::string, uint64_t> LinesDropped;
        // Connections whose peer was not believed, and whether the last one was such.
        uint64_t PeersRefused = 0;
        bool PeerRefused = false;
        // The engine's group, when it has one: its role, the leadership changes it saw and its
        // claims by outcome, as the state channel's role message carries them.
        struct GroupCounts {
            state::ClusterRole Role = state::ClusterRole::Alone;
            uint64_t LeaderChanges = 0;
            state::ClaimCounts Claims;
        };
        std::optional<GroupCounts> Group;
    };
    Counts GetCounts() const;

  private:
    void Run();
    bool Believed(int fd);
    void Session(int fd);
    void Apply(const std::string& line);
    // A link's confirmation: into its history row (m gains "row", the row's fields) and counts.
    void ApplyConfirmation(nlohmann::json& m);
    void Dropped(const char* problem);
    void SetRunning(bool running);
    nlohmann::json StatusLocked() const;
    void Changed();

    std::string folder_;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    nlohmann::json state_;  // the merged snapshot
    bool running_ = false;
    uint64_t generation_ = 1;
    uint64_t seq_ = 0;
    std::deque<std::pair<uint64_t, std::string>> changes_;
    Counts counts_;
    std::function<void()> onChange_;
    AlarmSeen onAlarm_;
};

}  // namespace qtx::console
