#include "console/LoginThrottle.h"

#include <algorithm>

#include "common/Limits.h"

namespace qtx::console {

namespace {

// Milliseconds from then to now on a tick counter that wraps at 2^32.
int64_t Since(uint32_t then, uint32_t now) {
    return static_cast<int64_t>(static_cast<uint32_t>(now - then));
}

int SecondsUntil(int64_t ms) {
    return ms <= 0 ? 1 : static_cast<int>((ms + 999) / 1000);
}

}  // namespace

void LoginThrottle::Forget(uint32_t nowMs) {
    for (auto it = checks_.begin(); it != checks_.end();) {
        std::deque<uint32_t>& times = it->second;
        while (!times.empty() && Since(times.front(), nowMs) >= limits::LoginWindowMs)
            times.pop_front();
        it = times.empty() ? checks_.erase(it) : std::next(it);
    }
}

LoginAdmission LoginThrottle::TryAcquire(const std::string& clientAddress, uint32_t nowMs) {
    std::lock_guard lock(mutex_);
    // A sweep once a window keeps the table to the addresses of the last minute, and keeps a
    // time from before the counter last wrapped from looking recent.
    if (Since(lastSweep_, nowMs) >= limits::LoginWindowMs) {
        Forget(nowMs);
        lastSweep_ = nowMs;
    }
    auto it = checks_.find(clientAddress);
    if (it == checks_.end()) {
        if (checks_.size() >= limits::LoginThrottleAddresses)
            Forget(nowMs);
        if (checks_.size() >= limits::LoginThrottleAddresses) {
            // Full of addresses still in their window: the hasher is saturated anyway.
            int64_t soonest = limits::LoginWindowMs;
            for (const auto& [address, times] : checks_)
                soonest = std::min(soonest, limits::LoginWindowMs - Since(times.front(), nowMs));
            ++refused_;
            return {false, SecondsUntil(soonest)};
        }
        it = checks_.emplace(clientAddress, std::deque<uint32_t>{}).first;
    }
    std::deque<uint32_t>& times = it->second;
    while (!times.empty() && Since(times.front(), nowMs) >= limits::LoginWindowMs)
        times.pop_front();
    if (times.size() >= static_cast<size_t>(limits::LoginChecksPerWindow)) {
        ++refused_;
        return {false, SecondsUntil(limits::LoginWindowMs - Since(times.front(), nowMs))};
    }
    times.push_back(nowMs);
    return {true, 0};
}

uint64_t LoginThrottle::Refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

size_t LoginThrottle::Addresses() const {
    std::lock_guard lock(mutex_);
    return checks_.size();
}

}  // namespace qtx::console
