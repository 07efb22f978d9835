#pragma once
// The baud-rate codes of serial message events.
#include <cstdint>
#include <string>

namespace qtx {

// The baud text of a code: 0 "2400", 1 "9600", 2 "14400", 3 "19200", 4 "28800", 5 "57600",
// 6 "115200", 7 "128000"; every other code, negative ones included, "57600".
std::string BaudText(int16_t code);

}  // namespace qtx
