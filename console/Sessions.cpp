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

int LoginThrottle::WaitSeconds(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end())
        return 0;
    auto now = std::chrono::steady_clock::now();
    if (now >= it->second.NotBefore)
        return 0;
    auto left = std::chrono::ceil<std::chrono::seconds>(it->second.NotBefore - now);
    return static_cast<int>(left.count());
}

void LoginThrottle::Failed(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    // Forget keys quiet for a quarter of an hour, so the table cannot grow without end.
    for (auto it = entries_.begin(); it != entries_.end();)
        it = now - it->second.LastFailure > std::chrono::minutes(15) ? entries_.erase(it)
                                                                     : std::next(it);
    Entry& e = entries_[key];
    ++e.Failures;
    e.LastFailure = now;
    if (e.Failures >= limits::LoginFreeFailures) {
        int shift = std::min(e.Failures - limits::LoginFreeFailures, 6);
        int wait = std::min(1 << shift, limits::LoginMaxWaitSeconds);
        e.NotBefore = now + std::chrono::seconds(wait);
    }
}

void LoginThrottle::Succeeded(const std::string& key) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
}

}  // namespace qtx::console
