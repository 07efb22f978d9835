#pragma once
// The folder of message files: "messages/" in the program folder. Writers of events name message
// files there only (CheckMessageFile in schedule/Rules.h); the engine never sends any other file
// of the program folder.
#include <string>

namespace qtx::schedule {

// The program folder's messages/ folder: absolute (a relative folder is taken from the current
// folder), without "." or ".." parts, ending in "/".
std::string MessageFolderOf(const std::string& programFolder);

// Creates the messages/ folder when it is missing, with the program folder's group and modes,
// so a folder shared by a group (group-writable, setgid, sticky) gives its messages/ the same.
// Throws std::runtime_error naming the folder when it cannot be made.
void EnsureMessageFolder(const std::string& programFolder);

}  // namespace qtx::schedule
