#include "console/LogTail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/Text.h"

namespace qtx::console {

namespace {

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace

std::vector<std::string> LastLogLines(const std::string& path, int count) {
    std::vector<std::string> lines;
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || count <= 0)
        return lines;
    // Read blocks backwards until the text holds count + 1 line ends (or the whole file).
    std::string text;
    off_t end = st.st_size;
    const off_t block = 16384;
    while (end > 0) {
        off_t start = std::max<off_t>(0, end - block);
        std::string chunk(static_cast<size_t>(end - start), '\0');
        ssize_t n = ::pread(file.fd, chunk.data(), chunk.size(), start);
        if (n <= 0)
            break;
        chunk.resize(static_cast<size_t>(n));
        text.insert(0, chunk);
        end = start;
        if (std::count(text.begin(), text.end(), '\n') > count + 1)
            break;
    }
    bool wholeFile = end == 0;
    std::vector<std::string> all;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        all.push_back(std::move(line));
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    size_t first = 0;
    if (wholeFile)
        first = std::min<size_t>(all.size(), kLogHeaderLines);
    else if (!all.empty())
        first = 1;  // the first piece may be the tail of a longer line
    if (all.size() > first + static_cast<size_t>(count))
        first = all.size() - static_cast<size_t>(count);
    for (size_t i = first; i < all.size(); ++i)
        lines.push_back(Cp1252ToUtf8(all[i]));
    return lines;
}

int64_t LogLineCounter::Count() {
    Fd file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        size_ = lines_ = 0;
        return 0;
    }
    if (st.st_size < size_)
        size_ = lines_ = 0;  // replaced or truncated: count again
    char buffer[65536];
    while (size_ < st.st_size) {
        ssize_t n = ::pread(file.fd, buffer, sizeof buffer, size_);
        if (n <= 0)
            break;
        lines_ += std::count(buffer, buffer + n, '\n');
        size_ += n;
    }
    return std::max<int64_t>(0, lines_ - kLogHeaderLines);
}

}  // namespace qtx::console
