#include "schedule/MessageFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace qtx::schedule {

std::string MessageFolderOf(const std::string& programFolder) {
    std::error_code ec;
    std::filesystem::path folder = programFolder.empty() ? "." : programFolder;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, ec);
    if (!ec)
        folder = absolute;
    std::string text = (folder / "messages").lexically_normal().string();
    if (text.empty() || text.back() != '/')
        text += '/';
    return text;
}

void EnsureMessageFolder(const std::string& programFolder) {
    std::string messages = MessageFolderOf(programFolder);
    messages.pop_back();
    const std::string parent = std::filesystem::path(messages).parent_path().string();
    auto fail = [&](const std::string& what) {
        throw std::runtime_error(messages + "/: " + what + " (" + std::strerror(errno) + ")");
    };
    struct stat folder {};
    if (::stat(parent.c_str(), &folder) != 0)
        fail("the program folder cannot be read");
    struct stat st {};
    if (::lstat(messages.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode) &&
            !(S_ISLNK(st.st_mode) && ::stat(messages.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            errno = ENOTDIR;
            fail("is not a folder");
        }
        return;  // as it is: its owner may have chosen other modes
    }
    const mode_t mode = folder.st_mode & 07777;
    if (::mkdir(messages.c_str(), mode) != 0 && errno != EEXIST)
        fail("cannot be created");
    // The process's umask took bits away, and mkdir leaves out setgid and sticky on some systems.
    if (::chown(messages.c_str(), static_cast<uid_t>(-1), folder.st_gid) != 0 ||
        ::chmod(messages.c_str(), mode) != 0)
        fail("cannot be given the program folder's group and modes");
}

}  // namespace qtx::schedule
