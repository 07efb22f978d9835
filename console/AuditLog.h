#pragma once
// The audit file "qtx-console-audit.log" in the program folder: one JSON object a line for every
// change made through the console (who, when, from where, what, the thing before and after) and
// for every login and failed login. Appended under a lock; never throws.
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace qtx::console {

class AuditLog {
  public:
    static constexpr const char* kFileName = "qtx-console-audit.log";

    explicit AuditLog(std::string folder) : path_(std::move(folder) + kFileName) {}

    // action: "login", "login-failed", "logout", "event-create", "event-update", "event-delete",
    // "settings-update", "user-set", "user-remove". before/after are null when not applicable.
    // Returns false when the line could not be written.
    bool Append(const std::string& user, const std::string& address, const std::string& action,
                const std::string& target, const nlohmann::json& before,
                const nlohmann::json& after);
    std::string Path() const { return path_; }

  private:
    std::string path_;
    std::mutex mutex_;
};

}  // namespace qtx::console
