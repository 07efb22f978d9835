#include "messages/MessageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/FileSystem.h"

namespace qtx {
namespace {

class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string ReadMessageFile(const std::string& path) {
    ReadOnlyFile file(path);
    if (file.get() < 0)
        RaiseFileFault(errno);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        RaiseFileFault(errno);
    if (S_ISDIR(st.st_mode))
        RaiseFileFault(EISDIR);
    if (!S_ISREG(st.st_mode))
        return {};
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(file.get(), data.data() + got, data.size() - got);
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
