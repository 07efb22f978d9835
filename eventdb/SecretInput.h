#pragma once
// A password read from standard input (one line), never from the command line: without echo
// when standard input is a terminal.
#include <string>

namespace qtx {

// The line without its end; prompt goes to standard error when standard input is a terminal.
std::string ReadSecretLine(const std::string& prompt);

}  // namespace qtx
