#include "messages/SerialSpeed.h"

// The kernel's own terminal structures; <termios.h> must not be included in this file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace qtx {
namespace {

// The standard B-constant for baud, or BOTHER (an explicit speed in c_ospeed) when there is none.
tcflag_t SpeedCode(uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return BOTHER;
    }
}

}  // namespace

bool SetLineSpeed(int fd, uint32_t baud) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    const tcflag_t code = SpeedCode(baud);
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

uint32_t ReadLineSpeed(int fd) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

}  // namespace qtx
