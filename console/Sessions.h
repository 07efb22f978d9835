#pragma once
// Logged-in sessions: a random session id (the cookie) and a random CSRF token per session, held
// in memory only (a restart logs everyone out). Sessions end after an idle time, and an account
// holds a bounded number of them.
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/Limits.h"
#include "console/Accounts.h"

namespace qtx::console {

struct Session {
    std::string Id;    // the cookie's value
    std::string Csrf;  // the token a change must carry in X-CSRF-Token
    std::string User;
    Role UserRole = Role::Viewer;
};

class Sessions {
  public:
    explicit Sessions(std::chrono::seconds idle = std::chrono::seconds(limits::SessionIdleSeconds))
        : idle_(idle) {}

    // A new session for user; when the account holds its share of sessions already, its least
    // recently used one ends.
    Session Create(const std::string& user, Role role);
    // The session when id names a live one (its idle time starts again).
    std::optional<Session> Find(const std::string& id);
    void End(const std::string& id);
    // Ends every session of the user (removed account, changed role or password).
    void EndUser(const std::string& user);

    // Compares in constant time.
    static bool TokenMatches(const std::string& expected, const std::string& given);
    // 32 random bytes as 64 hex digits.
    static std::string RandomToken();

  private:
    struct Entry {
        Session S;
        std::chrono::steady_clock::time_point LastUse;
    };
    std::chrono::seconds idle_;
    std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
};

}  // namespace qtx::console
