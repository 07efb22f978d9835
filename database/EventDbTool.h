#pragma once
// The command-line tool that prepares event databases (qtx-eventdb). Every command that changes
// a file does so in one transaction: on bad input the file is left as it was.
#include <ostream>
#include <string>
#include <vector>

namespace qtx {

extern const char* const EventDbUsage;

// Runs one command line (without the program name); returns the exit status (0 success, 1 bad
// input or a failed command, 2 bad usage). Texts on the command line and in CSV are UTF-8.
int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qtx
