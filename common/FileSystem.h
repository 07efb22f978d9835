#pragma once
// File-system operations of the engine. Paths are byte strings, never converted.
// Every failure is a Fault with a file-system number (FaultNumbers.h).
#include <cstdint>
#include <string>

namespace qtx {

// True when path names an existing regular file (a directory search for normal files).
bool NormalFileExists(const std::string& path);
int64_t FileLength(const std::string& path);
// Copies src to dst byte for byte, replacing dst.
void CopyFileBytes(const std::string& src, const std::string& dst);
void DeleteFile(const std::string& path);
// The whole contents of a file as raw bytes.
std::string ReadFileBytes(const std::string& path);

// The text that stands for a file's last change: its modification time in the general date
// format, with the nanoseconds and the length appended, so an outside edit within the same
// second is still seen. Fault when the file cannot be examined.
std::string FileTimeText(const std::string& path);

// The fault for an errno value from a file operation.
[[noreturn]] void RaiseFileFault(int err);

// Directory of the running program, ending in "/".
std::string ProgramDirectory();

}  // namespace qtx
