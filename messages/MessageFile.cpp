#include "messages/MessageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/FileSystem.h"
#include "common/UniqueFd.h"

namespace qtx {
std::string ReadMessageFile(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid())
        RaiseFileFault(errno);
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
