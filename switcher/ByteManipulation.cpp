#include "switcher/ByteManipulation.h"

#include "common/Checked.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx {

int16_t MakeWord(uint8_t low, uint8_t high) {
    return ToInt16(static_cast<int64_t>(high) * 128 + low);
}

bool IsCommandByte(uint8_t b) {
    return (b & 0x80) != 0;
}

uint8_t Checksum(const std::string& frame, size_t length) {
    if (length > frame.size())
        RaiseSubscript();
    unsigned sum = 0;
    for (size_t i = 1; i < length; ++i)
        sum = (sum + static_cast<uint8_t>(frame[i])) & 0x7F;
    return static_cast<uint8_t>(sum);
}

uint8_t Checksum(const std::string& frame) {
    return Checksum(frame, frame.size());
}

void AppendWord(std::string& frame, int64_t value) {
    if (value < 0)
        throw Fault(faults::InvalidProcedureCall, "Invalid procedure call or argument");
    if (value > 16383)
        RaiseOverflow();
    const int64_t low = value & 0x7F;
    frame.push_back(static_cast<char>(low));
    frame.push_back(static_cast<char>((value - low) / 128));
}

uint8_t ByteAt(const std::string& s, size_t i) {
    if (i >= s.size())
        RaiseSubscript();
    return static_cast<uint8_t>(s[i]);
}

int16_t WordAt(const std::string& s, size_t i) {
    return MakeWord(ByteAt(s, i), ByteAt(s, i + 1));
}

}  // namespace qtx
