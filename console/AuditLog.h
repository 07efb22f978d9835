#pragma once
// The audit file "qtx-console-audit.log" in the program folder: one JSON object a line for every
// change made through the console (who, when, from where, what, the thing before and after) and
// for every login and failed login. Appended under a lock.
//
// A change is audited or not made: its line is written (and flushed to the disk) before the
// change is committed, and when it cannot be written the change is refused. Logins and logouts
// are recorded when the file can be written and go ahead when it cannot.
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace qtx::console {

class AuditLog {
  public:
    static constexpr const char* kFileName = "qtx-console-audit.log";

    explicit AuditLog(std::string folder) : path_(std::move(folder) + kFileName) {}

    // A login, failed login or logout: action "login", "login-failed" or "logout". Returns false
    // when the line could not be written; never throws.
    bool Append(const std::string& user, const std::string& address, const std::string& action,
                const std::string& target, const nlohmann::json& before,
                const nlohmann::json& after);

    // A change: action "event-create", "event-update", "event-delete", "settings-update",
    // "user-set" or "user-remove"; before/after are null when not applicable. Call it before
    // committing the change. Throws ApiError 503 when the line cannot be written in full (a
    // part written is taken back), so the caller's commit is never reached.
    void Record(const std::string& user, const std::string& address, const std::string& action,
                const std::string& target, const nlohmann::json& before,
                const nlohmann::json& after);

    std::string Path() const { return path_; }

  private:
    // Empty when the line is in the file (and on the disk when durable), else why not.
    std::string Write(const std::string& text, bool durable);

    std::string path_;
    std::mutex mutex_;
};

}  // namespace qtx::console
