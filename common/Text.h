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

// The control characters of Windows-1252 text: C0 (0x00-0x1F), DEL (0x7F) and the five
// unassigned bytes, which stand for the C1 controls of their code. The other bytes 0x80-0x9F
// are printable there (euro sign, quotes, dashes, ellipsis, trade mark, ...) and are text.
bool IsControl1252(unsigned char byte);
// True when UTF-8 text holds a control character: C0, DEL or C1 (U+0080-U+009F), also as a
// byte that is not UTF-8 (taken as Utf8ToCp1252 takes it).
bool HasControlUtf8(const std::string& utf8);
// Windows-1252 text with each control character written as \xHH (two upper-case hex digits),
// so the text stays on one line and the character can still be told. A backslash is left as it
// is: texts without control characters come out unchanged.
std::string EscapeControls1252(const std::string& bytes);

}  // namespace qtx
