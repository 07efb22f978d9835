#pragma once
// The message file of a file-content event (mcontrol 3).
#include <string>

namespace qtx {

// The file's contents as raw bytes: as many as its length says, so a device or pipe named by
// mistake gives what its length (0) says instead of blocking or reading without end.
// A file that does not exist is a fault like any unreadable one (53 "File not found"), not an
// empty text: sending an empty message and logging it as sent would hide the mistake.
std::string ReadMessageFile(const std::string& path);

}  // namespace qtx
