#pragma once
// The readers of what operators type (the event tool's arguments, the console's requests and
// forms, the shared rules): one strict reader per kind of input, so every writer accepts and
// refuses the same texts. Values already stored are read the engine's way instead (lenient, see
// database/ValidateIPAddress.cpp).
#include <optional>
#include <string_view>

namespace qtx {

// A whole number in decimal: an optional "+" or "-" and digits, nothing else (no blanks, no
// exponent); nullopt for anything else or a value beyond 64 bits.
std::optional<long long> ParseWholeNumber(std::string_view text);

// True for a dotted IPv4 address "a.b.c.d": four parts of one to three decimal digits, each
// 0..255.
bool IsDottedAddress(std::string_view text);

// True for "hh:mm:ss", 24-hour, two digits each, 00:00:00 .. 23:59:59.
bool IsTimeOfDay(std::string_view text);

}  // namespace qtx
