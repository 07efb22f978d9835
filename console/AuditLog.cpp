#include "console/AuditLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace qtx::console {

namespace {

std::string UtcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

bool AuditLog::Append(const std::string& user, const std::string& address,
                      const std::string& action, const std::string& target,
                      const nlohmann::json& before, const nlohmann::json& after) {
    nlohmann::json line{{"time", UtcNow()}, {"user", user},     {"address", address},
                        {"action", action}, {"target", target}, {"before", before},
                        {"after", after}};
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard lock(mutex_);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return (::close(fd) == 0) && ok;
}

}  // namespace qtx::console
