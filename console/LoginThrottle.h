#pragma once
// Password checks per client address: at most a few in any sliding window, taken before the
// check is made, so that concurrent logins from one address cannot check more than that and
// failures from one address never hold back a login from another. Safe from any thread.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qtx::console {

struct LoginAdmission {
    bool Allowed = false;
    int RetryAfterSeconds = 0;  // when refused: whole seconds until a check may be made, at least 1
};

class LoginThrottle {
  public:
    // Takes one of the address's checks when it has one left in the window that ends at nowMs
    // (a millisecond tick counter, such as Clock::TickCount; it may wrap).
    LoginAdmission TryAcquire(const std::string& clientAddress, uint32_t nowMs);

    // Addresses remembered now.
    size_t Addresses() const;
    // Logins refused since the start.
    uint64_t Refused() const;

  private:
    // Drops addresses whose checks have all left the window.
    void Forget(uint32_t nowMs);

    mutable std::mutex mutex_;
    uint32_t lastSweep_ = 0;
    uint64_t refused_ = 0;
    std::unordered_map<std::string, std::deque<uint32_t>> checks_;  // times of checks, oldest first
};

}  // namespace qtx::console
