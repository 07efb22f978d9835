#pragma once
// The command-line tool that prepares event databases (qtx-eventdb). Every command that changes
// a file checks the change by the rules of schedule/ and stores it in one transaction: on bad
// input the file is left as it was, and the message names the file and, where there is one, the
// event and the CSV line.
#include <ostream>
#include <string>
#include <vector>

#include "common/Clock.h"

namespace qtx {

extern const char* const EventDbUsage;

// Runs one command line (without the program name); returns the exit status (0 success, 1 bad
// input, a problem found or a failed command, 2 bad usage). Texts on the command line and in
// CSV are UTF-8.
int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// The same with the clock that says what today is (calendar import, check, preview).
int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   Clock& clock);

}  // namespace qtx
