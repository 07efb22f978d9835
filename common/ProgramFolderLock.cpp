#include "common/ProgramFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace qtx {

ProgramFolderLock::ProgramFolderLock(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
        problem_ = "Cannot open the program folder " + folder + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        problem_ = error == EWOULDBLOCK
                       ? "Another QTX Automation engine is already running in " + folder +
                             "; a second one would run every event twice. Stop the other "
                             "engine (or its service) first."
                       : "Cannot lock the program folder " + folder + ": " + std::strerror(error);
        return;
    }
    fd_ = std::move(fd);
}

}  // namespace qtx
