#include "console/AuditLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "console/ApiError.h"

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

std::string Line(const std::string& user, const std::string& address, const std::string& action,
                 const std::string& target, const nlohmann::json& before,
                 const nlohmann::json& after) {
    nlohmann::json line{{"time", UtcNow()}, {"user", user},     {"address", address},
                        {"action", action}, {"target", target}, {"before", before},
                        {"after", after}};
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string AuditLog::Write(const std::string& text, bool durable) {
    std::lock_guard lock(mutex_);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return std::strerror(errno);
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string problem;
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size()))
        problem = n < 0 ? std::strerror(errno) : "the disk took only part of the line";
    else if (durable && ::fdatasync(fd) != 0 && errno != EINVAL)
        problem = std::strerror(errno);
    // A line the file did not take whole is taken back, so the file stays one object a line.
    if (!problem.empty() && regular && n > 0 && ::ftruncate(fd, st.st_size) != 0)
        problem += "; a part of the line stays in the file";
    if (::close(fd) != 0 && problem.empty())
        problem = std::strerror(errno);
    return problem;
}

bool AuditLog::Append(const std::string& user, const std::string& address,
                      const std::string& action, const std::string& target,
                      const nlohmann::json& before, const nlohmann::json& after) {
    try {
        return Write(Line(user, address, action, target, before, after), false).empty();
    } catch (const std::exception&) {
        return false;  // out of memory making the line: the login goes ahead unrecorded
    }
}

void AuditLog::Record(const std::string& user, const std::string& address,
                      const std::string& action, const std::string& target,
                      const nlohmann::json& before, const nlohmann::json& after) {
    std::string problem = Write(Line(user, address, action, target, before, after), true);
    if (!problem.empty())
        throw ApiError(503, "the audit file " + path_ + " cannot be written (" + problem +
                                "); nothing was changed");
}

}  // namespace qtx::console
