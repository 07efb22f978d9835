#pragma once
// Alarm texts as other systems take them (a mail header, an SNMP string): valid UTF-8 (a byte
// that is not becomes U+FFFD), controls as blanks, cut to a length at a character boundary.
#include <cstddef>
#include <string>

namespace qtx::alarms {

std::string CleanText(const std::string& text, size_t maxBytes = std::string::npos);

}  // namespace qtx::alarms
