#include "logging/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/FileSystem.h"

namespace qtx {

LogFile::LogFile(const std::string& path, Mode mode) {
    // Never blocks on a FIFO or a device in the log's place: only a regular file is written.
    fd_.Reset(OpenRegularForWriting(path, O_CREAT | (mode == Mode::Create ? O_TRUNC : O_APPEND)));
}

void LogFile::WriteLine(const std::string& text) {
    const std::string line = text + "\r\n";
    // A line that does not go out whole (a full disk) is cut off again, so the next line does
    // not start in the middle of it.
    const off_t start = ::lseek(fd_.Get(), 0, SEEK_END);
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t put = ::write(fd_.Get(), line.data() + done, line.size() - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            if (done > 0 && start >= 0)
                (void)!::ftruncate(fd_.Get(), start);
            RaiseFileFault(err);
        }
        done += static_cast<size_t>(put);
    }
}

void LogFile::Close() {
    if (!fd_.Close())
        RaiseFileFault(errno);
}

}  // namespace qtx
