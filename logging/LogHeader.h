#pragma once
// The eleven header lines both logs start with.
#include <string>
#include <vector>

namespace qtx {

std::vector<std::string> ActivityLogHeader();
std::vector<std::string> ErrorLogHeader();

}  // namespace qtx
