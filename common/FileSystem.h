#pragma once
// File-system operations of the engine. Paths are byte strings, never converted.
// Every failure is a Fault with a file-system number (FaultNumbers.h).
#include <cstdint>
#include <string>

namespace qtx {

// True when path names an existing regular file (a directory search for normal files).
bool NormalFileExists(const std::string& path);
int64_t FileLength(const std::string& path);
// Copies src to dst byte for byte, replacing dst (a regular file; see OpenRegularForWriting).
void CopyFileBytes(const std::string& src, const std::string& dst);
// Writes data to dst, replacing it (a regular file; see OpenRegularForWriting).
void WriteFileBytes(const std::string& dst, const std::string& data);
void DeleteFile(const std::string& path);
// The whole contents of a file as raw bytes.
std::string ReadFileBytes(const std::string& path);

// The text that stands for a file's last change: its modification time in the general date
// format, with the nanoseconds and the length appended, so an outside edit within the same
// second is still seen. Fault when the file cannot be examined.
std::string FileTimeText(const std::string& path);

// Opens path for writing with the given open flags (O_WRONLY and O_CLOEXEC added, mode 0664 for
// a new file) and returns the descriptor. It never blocks: the open is non-blocking, and
// anything but a regular file (a FIFO, a device, a socket) is closed again and is fault 75, as
// for a file that cannot be written.
int OpenRegularForWriting(const std::string& path, int flags);

// A write beyond the file-size limit (ulimit -f) fails with "Disk full" instead of killing the
// process with SIGXFSZ. Called once where an engine starts.
void IgnoreFileSizeSignal();

// The fault for an errno value from a file operation.
[[noreturn]] void RaiseFileFault(int err);

// Directory of the running program, ending in "/".
std::string ProgramDirectory();

}  // namespace qtx
