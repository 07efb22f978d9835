#include "switcher/ReceiveFraming.h"

#include <cstdint>

#include "switcher/Frames.h"

namespace qtx {

namespace {

uint8_t At(std::string_view b, size_t i) {
    return static_cast<uint8_t>(b[i]);
}

size_t WordAt(std::string_view b, size_t i) {
    return size_t{At(b, i)} + 128 * size_t{At(b, i + 1)};
}

// Length of the run of data bytes starting at from.
size_t DataRun(std::string_view b, size_t from) {
    size_t i = from;
    while (i < b.size() && At(b, i) < 0x80)
        ++i;
    return i - from;
}

}  // namespace

size_t LongestPossible(std::string_view b) {
    switch (At(b, 0)) {
        case frames::Query:
            return 4;
        case frames::Crosspoint:
            return 9;
        case frames::Info:
            return 13;
        case frames::Map: {
            // Code, unused byte, output count, first output; then per output a count word, an
            // unused byte and four bytes per source; then checksum and terminator.
            if (b.size() < 6)
                return kLongestFrame;
            const size_t outputs = WordAt(b, 2);
            size_t length = 8;
            size_t q = 6;
            for (size_t o = 0; o < outputs; ++o) {
                if (q + 1 >= b.size() || length > kLongestFrame)
                    return kLongestFrame;  // the counts have not all arrived: not known yet
                const size_t k = WordAt(b, q);
                length += 3 + 4 * k;
                q += 3 + 4 * k;
            }
            return length < kLongestFrame ? length : kLongestFrame;
        }
        default:
            return kLongestFrame;
    }
}

FrontMessage ScanFront(std::string_view b) {
    using Kind = FrontMessage::Kind;
    if (b.empty())
        return {Kind::Incomplete, 0};
    const uint8_t c = At(b, 0);
    if (c < 0x80)
        return {Kind::Garbage, DataRun(b, 0)};
    if (c == frames::Poll || c == frames::Online || c == frames::Offline || c == frames::NoAction)
        return {Kind::Single, 1};
    const size_t end = b.find(static_cast<char>(frames::Terminator));
    if (end != std::string_view::npos)
        return {Kind::Framed, end + 1};
    if (b.size() >= LongestPossible(b))
        return {Kind::Impossible, 1 + DataRun(b, 1)};
    return {Kind::Incomplete, 0};
}

}  // namespace qtx
