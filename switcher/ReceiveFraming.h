#pragma once
// Where the message at the front of a receive buffer ends. The switcher's messages are a code
// byte (bit 7 set), then data bytes, and for framed messages a terminator 0xFF. A framed message
// cannot be longer than its kind allows: the fixed lengths of the query, take report and
// information reply, the length a map's own counts give, and for every kind the longest map
// there can be. Bytes that cannot belong to any message are skipped as one run.
#include <cstddef>
#include <string_view>

namespace qtx {

// The longest frame of the protocol: a crosspoint map of 16383 outputs (the largest 14-bit
// word) with 255 sources each (a source count is kept in a byte; a larger one cannot be
// applied): 8 bytes of code, header, checksum and terminator, and 3 + 4 x 255 bytes per output.
inline constexpr size_t kLongestFrame = 8 + 16383 * (3 + 4 * 255);  // 16,759,817 bytes

struct FrontMessage {
    enum class Kind {
        Incomplete,  // nothing to take yet: the buffer is empty or a frame is still arriving
        Garbage,     // data bytes out of step (before any code byte): skipped together
        Single,      // a one-byte message (poll, online, offline, no action)
        Framed,      // a code byte through the first terminator
        Impossible,  // a framed code byte whose terminator cannot come in time: skipped with the
                     // data bytes after it
    };
    Kind kind = Kind::Incomplete;
    size_t length = 0;  // bytes the message (or the skipped run) takes from the front
};

FrontMessage ScanFront(std::string_view b);

// The most bytes the framed message at the front of b can span; when that many have arrived
// without a terminator, it never will be a message that can be handled.
size_t LongestPossible(std::string_view b);

}  // namespace qtx
