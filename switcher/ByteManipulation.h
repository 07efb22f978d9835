#pragma once
// The byte functions of the switcher protocol: 14-bit words carried in two 7-bit data bytes,
// code bytes (bit 7 set) and the 7-bit checksum. Frames are strings, one character per byte.
#include <cstdint>
#include <string>

namespace qtx {

// high * 128 + low. Faults with overflow (6) when the result does not fit 16 bits.
int16_t MakeWord(uint8_t low, uint8_t high);

// True when bit 7 of b is set.
bool IsCommandByte(uint8_t b);

// The sum, modulo 128, of every byte of frame after its code byte; 0 for zero or one byte.
uint8_t Checksum(const std::string& frame);
// The same over the first length bytes of frame.
uint8_t Checksum(const std::string& frame, size_t length);

// Appends value as a word (low 7 bits first). A value below 0 cannot be encoded (fault 5); a value
// above 16383 does not fit two data bytes and would put a code byte, even a terminator, inside
// the frame (fault 6). Nothing is appended when it faults.
void AppendWord(std::string& frame, int64_t value);

// The byte at 0-based position i of s; fault 9 when s is shorter.
uint8_t ByteAt(const std::string& s, size_t i);
// The word at 0-based positions i, i + 1 of s.
int16_t WordAt(const std::string& s, size_t i);

}  // namespace qtx
