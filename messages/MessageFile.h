#pragma once
// The message file of a file-content event (mcontrol 3).
#include <string>

namespace qtx {

// The file's contents as raw bytes: as many as its length says, so a device or pipe named by
// mistake gives what its length (0) says instead of blocking or reading without end.
// A file that does not exist is a fault like any unreadable one (53 "File not found"), not an
// empty text: sending an empty message and logging it as sent would hide the mistake.
//
// A file of the program folder that is not in its messages/ folder (the database, the logs, the
// console's accounts and audit, the socket) is never read: fault 70 "Permission denied". Any
// other file is, as older event files expect. The path is resolved ("..", links) when it is
// read, and the file actually opened is checked again, so a link changed in between cannot lead
// the read into the folder.
std::string ReadMessageFile(const std::string& path, const std::string& programFolder);

}  // namespace qtx
