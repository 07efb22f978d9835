#include "messages/MessageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "common/UniqueFd.h"

namespace qtx {
namespace {

// The path with every link and "." or ".." part resolved; empty when it cannot be (it does not
// exist).
std::string Resolved(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real ? std::string(real.get()) : std::string();
}

// The path of the file open on fd, as the kernel knows it; empty when it cannot tell.
std::string PathOfDescriptor(int fd) {
    char buf[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

// The folders a resolved path is compared with: the program folder and its messages/ folder,
// both resolved ("/real/folder/" and "/real/folder/messages/").
struct GuardedFolder {
    std::string Folder;
    std::string Messages;
    explicit GuardedFolder(const std::string& programFolder) {
        Folder = Resolved(programFolder);
        if (Folder.empty())
            Folder = programFolder;  // gone meanwhile: compared as given
        if (Folder.empty() || Folder.back() != '/')
            Folder += '/';
        // The messages/ folder by name, not resolved: a messages/ that is a link into the
        // program folder itself does not open the folder.
        Messages = Folder + "messages/";
    }
    bool Refuses(const std::string& real) const {
        return real.rfind(Folder, 0) == 0 && real.rfind(Messages, 0) != 0;
    }
};

[[noreturn]] void Refuse(const std::string& path) {
    throw Fault(faults::PermissionDenied,
                "Permission denied: " + path + " is in the program folder, not in messages/");
}

}  // namespace

std::string ReadMessageFile(const std::string& path, const std::string& programFolder) {
    const GuardedFolder guard(programFolder);
    // Before opening: a socket or device of the folder is not even opened.
    if (const std::string real = Resolved(path); !real.empty() && guard.Refuses(real))
        Refuse(path);
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid())
        RaiseFileFault(errno);
    // The file that is open now; when the system cannot name it, the path resolved again.
    std::string opened = PathOfDescriptor(file.Get());
    if (opened.empty() || opened.front() != '/')
        opened = Resolved(path);
    if (opened.empty() || guard.Refuses(opened))
        Refuse(path);
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0)
        RaiseFileFault(errno);
    if (S_ISDIR(st.st_mode))
        RaiseFileFault(EISDIR);
    if (!S_ISREG(st.st_mode))
        return {};
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(file.Get(), data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            RaiseFileFault(errno);
        if (n == 0)
            break;  // the file shrank meanwhile: what is there is the message
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
}

}  // namespace qtx
