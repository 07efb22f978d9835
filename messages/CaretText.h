#pragma once
// Caret escapes of message texts: "^" followed by a character of code 64 to 95 ("@", "A" to "Z",
// "[", "\", "]", "^", "_") stands for the control character of that code minus 64, so "^M^J" is
// a carriage return and a line feed.
#include <string>

namespace qtx {

// The text with every caret escape replaced by its control character. A caret that ends the
// text or is followed by any other character is kept, and so is that character.
std::string DecodeCarets(const std::string& text);

}  // namespace qtx
