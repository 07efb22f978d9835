#pragma once
// Writes a message text to a connected socket in pieces of at most 16384 characters, the way the
// IP message sender hands its text to the socket control. Any socket with IsWritable(),
// IsConnected(), Write(buffer, length) and BytesSent() serves, so the piece logic can be
// exercised alone.
#include <algorithm>
#include <cstdint>
#include <string>

#include "common/Checked.h"
#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx {

inline constexpr size_t IpPieceLength = 16384;
// How long a connected receiver may go on taking nothing before the send is given up.
inline constexpr uint32_t IpStallLimitMs = 2000;

enum class PieceOutcome {
    Written,           // every piece went out, or the connection was gone for the last one
    StoppedUnwritable  // the connection was gone while more than one piece was left
};

// A socket that is connected but takes nothing (its buffer is full, or a write accepted no
// character) is waited for, running the loop so the switcher links stay served, for at most
// IpStallLimitMs on the tick counter since the last progress; then the send fails with
// fault 24060. A socket that is not connected at all is not waited for.
template <class Socket>
PieceOutcome WriteInPieces(Socket& socket, const std::string& text, Clock& clock, EventLoop& loop) {
    size_t done = 0;  // characters the socket has accepted so far
    uint32_t lastProgress = clock.TickCount();
    auto stall = [&] {
        if (clock.TickCount() - lastProgress >= IpStallLimitMs)
            throw Fault(faults::SocketTimedOut,
                        "Connection timed out: the receiver took nothing for " +
                            std::to_string(IpStallLimitMs) + " ms");
        loop.Pump();
        clock.SleepMs(1);
    };
    // One write of up to `length` characters from `done`.
    auto writeOnce = [&](size_t length) {
        const std::string piece = text.substr(done, length);
        socket.Write(piece, ToInt32(static_cast<int64_t>(piece.size())));
        const int32_t accepted = socket.BytesSent();
        if (accepted >= 1) {
            done += std::min(static_cast<size_t>(accepted), piece.size());
            lastProgress = clock.TickCount();
        } else if (!piece.empty()) {
            stall();
        }
    };
    while (text.size() - done > IpPieceLength) {
        if (socket.IsWritable()) {
            writeOnce(IpPieceLength);
        } else if (socket.IsConnected()) {
            stall();
        } else {
            return PieceOutcome::StoppedUnwritable;
        }
    }
    do {
        if (socket.IsWritable()) {
            writeOnce(text.size() - done);
        } else if (socket.IsConnected()) {
            stall();
        } else {
            break;
        }
    } while (done < text.size());
    return PieceOutcome::Written;
}

}  // namespace qtx
