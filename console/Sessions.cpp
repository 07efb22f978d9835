#include "console/Sessions.h"

#include <sodium.h>

#include <vector>

#include "common/Limits.h"

namespace qtx::console {

std::string Sessions::RandomToken() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

bool Sessions::TokenMatches(const std::string& expected, const std::string& given) {
    return expected.size() == given.size() && !expected.empty() &&
           sodium_memcmp(expected.data(), given.data(), expected.size()) == 0;
}

Session Sessions::Create(const std::string& user, Role role) {
    Session s{RandomToken(), RandomToken(), user, role};
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    // Expired sessions are swept here, so the map stays as small as the live sessions.
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now - it->second.LastUse > idle_ ? sessions_.erase(it) : std::next(it);
    // An account at its share gives up its least recently used session (see the limit's reason).
    for (;;) {
        size_t held = 0;
        auto oldest = sessions_.end();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
            if (it->second.S.User == user) {
                ++held;
                if (oldest == sessions_.end() || it->second.LastUse < oldest->second.LastUse)
                    oldest = it;
            }
        if (held < limits::SessionsPerAccount)
            break;
        sessions_.erase(oldest);
    }
    sessions_[s.Id] = Entry{s, now};
    return s;
}

std::optional<Session> Sessions::Find(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return std::nullopt;
    auto now = std::chrono::steady_clock::now();
    if (now - it->second.LastUse > idle_) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.LastUse = now;
    return it->second.S;
}

void Sessions::End(const std::string& id) {
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

void Sessions::EndUser(const std::string& user) {
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.S.User == user ? sessions_.erase(it) : std::next(it);
}

}  // namespace qtx::console
