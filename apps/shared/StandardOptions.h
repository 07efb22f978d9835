#pragma once
// --help and --version, answered the same way by every program before it starts its work.
#include <optional>
#include <ostream>
#include <string>

namespace qtx {

// The program's version, as the packages carry it.
std::string ProgramVersion();

// Looks at the first argument only: "--help" or "-h" prints usage to out, "--version" or "-V"
// prints "NAME VERSION"; either returns the exit code 0. Anything else returns nothing and the
// program goes on with its own argument handling.
std::optional<int> AnswerStandardOption(int argc, char** argv, const std::string& name,
                                        const std::string& usage, std::ostream& out);

}  // namespace qtx
