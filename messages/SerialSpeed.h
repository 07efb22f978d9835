#pragma once
// Line speed of a serial device in baud, set and read through the kernel's termios2 interface so
// that speeds without a B-constant (14400, 28800, 128000) work as well as the standard ones.
// Kept apart from <termios.h>, whose struct termios clashes with the kernel's.
#include <cstdint>

namespace qtx {

// Sets the input and output speed of the terminal fd to baud. False when the kernel refuses.
bool SetLineSpeed(int fd, uint32_t baud);
// The output speed the kernel reports for fd, or 0 when it cannot be read.
uint32_t ReadLineSpeed(int fd);

}  // namespace qtx
