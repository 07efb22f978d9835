#pragma once
// 8-bit text: the engine works on Windows-1252 byte strings; SQLite and Qt hold UTF-8.
// The five bytes Windows-1252 leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1
// control characters of the same code, so every byte string survives the round trip.
#include <string>

namespace qtx {

std::string Cp1252ToUtf8(const std::string& bytes);
// Characters that Windows-1252 cannot hold become "?"; malformed UTF-8 bytes are taken as
// Latin-1 so nothing is dropped.
std::string Utf8ToCp1252(const std::string& utf8);

}  // namespace qtx
