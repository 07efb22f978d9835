#include "switcher/Frames.h"

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "switcher/ByteManipulation.h"

namespace qtx::frames {

std::string SingleByte(uint8_t code) {
    return std::string(1, static_cast<char>(code));
}

std::string& Finish(std::string& frame) {
    frame.push_back(static_cast<char>(Checksum(frame)));
    frame.push_back(static_cast<char>(Terminator));
    return frame;
}

std::string CrosspointFrame(int64_t command, int64_t source, int64_t destination) {
    std::string f = SingleByte(Crosspoint);
    AppendWord(f, command);
    AppendWord(f, source);
    AppendWord(f, destination);
    return Finish(f);
}

std::string RelayFrame(int64_t command, int64_t relay) {
    return CrosspointFrame(command, 0, relay);
}

std::string SalvoFrame(int64_t salvo) {
    std::string f = SingleByte(Salvo);
    f.push_back(0x64);
    AppendWord(f, salvo);
    return Finish(f);
}

std::string GainFrame(uint8_t kind, int64_t channel, int64_t gain) {
    std::string f = SingleByte(Gain);
    f.push_back(0x02);
    f.push_back(static_cast<char>(kind));
    AppendWord(f, 1);
    AppendWord(f, channel);
    AppendWord(f, gain);
    return Finish(f);
}

std::string TextFrame(const std::string& text, uint8_t frame, uint8_t slot, uint8_t port) {
    std::string f = SingleByte(Text);
    f.push_back(0x00);
    f.push_back(static_cast<char>(frame));
    f.push_back(static_cast<char>(slot));
    f.push_back(static_cast<char>(port));
    AppendWord(f, static_cast<int64_t>(text.size()));
    f.reserve(f.size() + 2 * text.size() + 2);
    for (char ch : text)
        AppendWord(f, static_cast<uint8_t>(ch));
    return Finish(f);
}

std::string InfoRequestFrame(const std::string& selector) {
    if (selector.size() != 4)
        throw Fault(faults::InvalidProcedureCall, "Invalid procedure call or argument");
    std::string f = SingleByte(Info);
    f += selector;
    f.append(6, '\0');
    return Finish(f);
}

std::string QueryFrame(uint8_t data) {
    std::string f = SingleByte(Query);
    f.push_back(static_cast<char>(data));
    return Finish(f);
}

}  // namespace qtx::frames
