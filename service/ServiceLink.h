#pragma once
// The engine's link to systemd when it runs as a service: readiness and stopping notices, the
// watchdog keep-alive sent from the engine's own tick (a tick that stops gets the service
// restarted), and the error-log entries and refusals in the journal with their priority.
// Under no service manager (neither NOTIFY_SOCKET nor JOURNAL_STREAM set) it does nothing.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "logging/Logs.h"

namespace qtx {

class Engine;

// The journal priority of a log line: LOG_ERR for an error-log entry, LOG_WARNING for an
// activity line that refuses an event, nothing for the other lines.
std::optional<int> JournalPriority(Logs::LineKind kind);

class ServiceLink {
  public:
    // Where notices and journal entries go; the real ones are libsystemd's.
    struct Sinks {
        std::function<void(const std::string& state)> Notify;
        std::function<void(int priority, const std::string& utf8Text)> Journal;
    };

    // Reads the environment: whether a service manager is there and the watchdog interval.
    ServiceLink();
    // For tests: the given sinks, the given watchdog interval (zero for none), always active.
    ServiceLink(Sinks sinks, std::chrono::microseconds watchdog);

    bool Active() const { return active_; }

    // Hooks the engine's tick and log mirror (keeping a mirror already set). The link must
    // outlive the engine's run.
    void Attach(Engine& engine);
    void Ready();
    void Stopping();
    // The keep-alive, at most every quarter of the watchdog interval.
    void Tick();

  private:
    bool active_ = false;
    Sinks sinks_;
    std::chrono::microseconds watchdog_{0};
    std::chrono::steady_clock::time_point lastKeepAlive_{};
};

}  // namespace qtx
