// The byte layer of the protocol: words, checksums and the frames the engine builds.
#include <gtest/gtest.h>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx {
namespace {

using sim::FromHex;
using sim::ToHex;

int FaultOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.Number;
    }
    return 0;
}

TEST(WordsAndChecksums, WordsRoundTripAtTheirLimits) {
    for (int v : {0, 1, 127, 128, 300, 16383}) {
        std::string w;
        AppendWord(w, v);
        ASSERT_EQ(w.size(), 2u);
        EXPECT_FALSE(IsCommandByte(static_cast<uint8_t>(w[0])));
        EXPECT_FALSE(IsCommandByte(static_cast<uint8_t>(w[1])));
        EXPECT_EQ(MakeWord(static_cast<uint8_t>(w[0]), static_cast<uint8_t>(w[1])), v);
    }
    std::string w;
    AppendWord(w, 300);
    EXPECT_EQ(ToHex(w), "2C 02");
    w.clear();
    AppendWord(w, 128);
    EXPECT_EQ(ToHex(w), "00 01");
}

TEST(WordsAndChecksums, ValuesOutsideFourteenBitsFaultAndAppendNothing) {
    std::string w = "x";
    EXPECT_EQ(FaultOf([&] { AppendWord(w, -1); }), faults::InvalidProcedureCall);
    // 16384 would put a code byte into the frame; 32767 would even put a terminator there.
    EXPECT_EQ(FaultOf([&] { AppendWord(w, 16384); }), faults::Overflow);
    EXPECT_EQ(FaultOf([&] { AppendWord(w, 32767); }), faults::Overflow);
    EXPECT_EQ(w, "x");
    // Decoding raw bytes beyond 16 bits is an overflow, not a wrapped value.
    EXPECT_EQ(MakeWord(0xFE, 0xFE), 32766);
    EXPECT_EQ(FaultOf([&] { MakeWord(0xFF, 0xFF); }), faults::Overflow);
}

TEST(WordsAndChecksums, ChecksumSkipsTheCodeByteAndKeepsSevenBits) {
    EXPECT_EQ(Checksum(""), 0);
    EXPECT_EQ(Checksum(FromHex("F2")), 0);
    EXPECT_EQ(Checksum(FromHex("F2 00 01 00 00 00 00 00 00 00 00")), 1);
    EXPECT_EQ(Checksum(FromHex("FE 7F 7F 7F")), (0x7F * 3) % 128);
    EXPECT_EQ(Checksum(FromHex("00 FF FF")), (0xFF + 0xFF) % 128);
}

TEST(CommandFrames, WorkedFramesByteForByte) {
    using namespace frames;
    EXPECT_EQ(ToHex(CrosspointFrame(CmdTake, 0, 1)), "FE 04 00 00 00 01 00 05 FF");
    EXPECT_EQ(ToHex(CrosspointFrame(CmdTake, 0, 0)), "FE 04 00 00 00 00 00 04 FF");
    EXPECT_EQ(ToHex(CrosspointFrame(CmdSumOn, 2, 0)), "FE 24 00 02 00 00 00 26 FF");
    EXPECT_EQ(ToHex(CrosspointFrame(CmdSumOff, 129, 0)), "FE 20 00 01 01 00 00 22 FF");
    EXPECT_EQ(ToHex(RelayFrame(CmdLatch, 0)), "FE 44 00 00 00 00 00 44 FF");
    EXPECT_EQ(ToHex(RelayFrame(CmdMomentary, 2)), "FE 48 00 00 00 02 00 4A FF");
    EXPECT_EQ(ToHex(SalvoFrame(0)), "EA 64 00 00 64 FF");
    EXPECT_EQ(ToHex(GainFrame(SourceGain, 0, 100)), "E3 02 01 01 00 00 00 64 00 68 FF");
    EXPECT_EQ(ToHex(GainFrame(DestinationGain, 1, 0)), "E3 02 03 01 00 01 00 00 00 07 FF");
    EXPECT_EQ(ToHex(InfoRequestFrame(MapRequestSelector)),
              "F2 00 01 00 00 00 00 00 00 00 00 01 FF");
    EXPECT_EQ(ToHex(QueryFrame(0x7D)), "81 7D 7D FF");
}

TEST(CommandFrames, TextFramesCarryRawAddressBytesAndSevenBitCharacters) {
    using frames::TextFrame;
    EXPECT_EQ(ToHex(TextFrame("AB", 1, 2, 3)), "EC 00 01 02 03 02 00 41 00 42 00 0B FF");
    const std::string empty = TextFrame("", 0x90, 2, 3);
    EXPECT_EQ(ToHex(empty), "EC 00 90 02 03 00 00 15 FF");
    EXPECT_EQ(ToHex(TextFrame("\xE9", 0, 0, 0)).substr(21, 5), "69 01");
    // No byte but the last is a terminator, whatever the characters.
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const std::string f = TextFrame(all, 0, 0, 0);
    EXPECT_EQ(f.size(), 9u + 2 * 256);
    EXPECT_EQ(f.find('\xFF'), f.size() - 1);
}

TEST(CommandFrames, UnencodableValuesFaultBeforeAFrameExists) {
    EXPECT_EQ(FaultOf([] { frames::SalvoFrame(-1); }), faults::InvalidProcedureCall);
    EXPECT_EQ(FaultOf([] { frames::GainFrame(1, 0, -5); }), faults::InvalidProcedureCall);
    EXPECT_EQ(FaultOf([] { frames::TextFrame(std::string(16384, 'a'), 0, 0, 0); }),
              faults::Overflow);
    EXPECT_EQ(frames::TextFrame(std::string(16383, 'a'), 0, 0, 0).size(), 9u + 2 * 16383);
}

}  // namespace
}  // namespace qtx
