#include "service/ServiceLink.h"

#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <utility>

#include "common/Text.h"
#include "engine/Engine.h"

namespace qtx {

namespace {

bool UnderServiceManager() {
    return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("JOURNAL_STREAM") != nullptr;
}

ServiceLink::Sinks SystemdSinks() {
    ServiceLink::Sinks sinks;
    sinks.Notify = [](const std::string& state) { sd_notify(0, state.c_str()); };
    sinks.Journal = [](int priority, const std::string& text) {
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, nullptr);
    };
    return sinks;
}

}  // namespace

std::optional<int> JournalPriority(Logs::LineKind kind) {
    switch (kind) {
        case Logs::LineKind::Error:
            return LOG_ERR;
        case Logs::LineKind::Refusal:
            return LOG_WARNING;
        case Logs::LineKind::Activity:
            break;
    }
    return std::nullopt;
}

ServiceLink::ServiceLink() : active_(UnderServiceManager()), sinks_(SystemdSinks()) {
    uint64_t usec = 0;
    if (active_ && sd_watchdog_enabled(0, &usec) > 0)
        watchdog_ = std::chrono::microseconds(usec);
}

ServiceLink::ServiceLink(Sinks sinks, std::chrono::microseconds watchdog)
    : active_(true), sinks_(std::move(sinks)), watchdog_(watchdog) {}

void ServiceLink::Attach(Engine& engine) {
    if (!active_)
        return;
    engine.AfterTick = [this, before = std::move(engine.AfterTick)] {
        if (before)
            before();
        Tick();
    };
    engine.Log().Mirror = [this, before = std::move(engine.Log().Mirror)](Logs::LineKind kind,
                                                                          const std::string& text) {
        if (before)
            before(kind, text);
        if (const auto priority = JournalPriority(kind); priority && sinks_.Journal)
            sinks_.Journal(*priority, Cp1252ToUtf8(text));
    };
    // The role line as the headless engine prints it; without a leader nothing runs: a warning.
    engine.RoleSeen = [this, before = std::move(engine.RoleSeen)](const state::RoleState& role) {
        if (before)
            before(role);
        if (sinks_.Journal)
            sinks_.Journal(role.Role == state::ClusterRole::NoLeader ? LOG_WARNING : LOG_NOTICE,
                           state::RoleLine(role));
    };
}

void ServiceLink::Ready() {
    if (active_ && sinks_.Notify)
        sinks_.Notify("READY=1");
}

void ServiceLink::Stopping() {
    if (active_ && sinks_.Notify)
        sinks_.Notify("STOPPING=1");
}

void ServiceLink::Tick() {
    if (!active_ || watchdog_.count() <= 0 || !sinks_.Notify)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (lastKeepAlive_ != std::chrono::steady_clock::time_point{} &&
        now - lastKeepAlive_ < watchdog_ / 4)
        return;
    lastKeepAlive_ = now;
    sinks_.Notify("WATCHDOG=1");
}

}  // namespace qtx
