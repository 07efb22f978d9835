#include "common/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Format.h"
#include "common/UniqueFd.h"

namespace qtx {
namespace {}  // namespace

void RaiseFileFault(int err) {
    switch (err) {
        case ENOENT:
            throw Fault(faults::FileNotFound, "File not found");
        case ENOTDIR:
            throw Fault(faults::PathNotFound, "Path not found");
        case EACCES:
        case EPERM:
        case EROFS:
            throw Fault(faults::PermissionDenied, "Permission denied");
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            throw Fault(faults::DiskFull, "Disk full");
        case EISDIR:
        case EEXIST:
        case EBUSY:
        case ENXIO:  // a FIFO without a reader, opened without blocking
            throw Fault(faults::PathFileAccess, "Path/File access error");
        case ENAMETOOLONG:
            throw Fault(faults::BadFileName, "Bad file name or number");
        default:
            throw Fault(faults::DeviceIOError,
                        std::string("Device I/O error (") + std::strerror(err) + ")");
    }
}

bool NormalFileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileLength(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        RaiseFileFault(errno);
    return st.st_size;
}

std::string ReadFileBytes(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        RaiseFileFault(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        RaiseFileFault(errno);
    if (S_ISDIR(st.st_mode))
        RaiseFileFault(EISDIR);
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            RaiseFileFault(errno);
        }
        if (got == 0)
            break;
        data.append(buf, static_cast<size_t>(got));
    }
    return data;
}

int OpenRegularForWriting(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0664));
    if (fd.Get() < 0)
        RaiseFileFault(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        RaiseFileFault(errno);
    if (!S_ISREG(st.st_mode))
        throw Fault(faults::PathFileAccess, "Path/File access error (not a regular file)");
    return fd.Release();
}

void SyncFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0 || ::fsync(fd.Get()) != 0)
        RaiseFileFault(errno);
}

void IgnoreFileSizeSignal() {
    ::signal(SIGXFSZ, SIG_IGN);
}

void CopyFileBytes(const std::string& src, const std::string& dst) {
    WriteFileBytes(dst, ReadFileBytes(src));
}

void WriteFileBytes(const std::string& dst, const std::string& data) {
    UniqueFd out(OpenRegularForWriting(dst, O_CREAT | O_TRUNC));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(out.Get(), data.data() + done, data.size() - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            RaiseFileFault(errno);
        }
        done += static_cast<size_t>(put);
    }
    if (!out.Close())
        RaiseFileFault(errno);
}

void DeleteFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        RaiseFileFault(EISDIR);
    if (::unlink(path.c_str()) != 0)
        RaiseFileFault(errno);
}

std::string FileTimeText(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        RaiseFileFault(errno);
    tm local{};
    const time_t secs = st.st_mtim.tv_sec;
    localtime_r(&secs, &local);
    LocalDateTime t;
    t.Year = local.tm_year + 1900;
    t.Month = local.tm_mon + 1;
    t.Day = local.tm_mday;
    t.Hour = local.tm_hour;
    t.Minute = local.tm_min;
    t.Second = local.tm_sec > 59 ? 59 : local.tm_sec;
    char tail[64];
    std::snprintf(tail, sizeof tail, " .%09ld %lld", static_cast<long>(st.st_mtim.tv_nsec),
                  static_cast<long long>(st.st_size));
    return FormatGeneralDate(t) + tail;
}

std::string ProgramDirectory() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./");
    const size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

}  // namespace qtx
