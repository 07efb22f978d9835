#pragma once
// Builders of the frames the engine sends; each returns the whole frame, checksum and terminator
// included, or faults (through AppendWord) before anything could be sent. Numbers are the wire
// numbers, counted from 0.
#include <cstdint>
#include <string>

namespace qtx::frames {

inline constexpr uint8_t Poll = 0xF5;
inline constexpr uint8_t Online = 0xF4;  // also the answer to a poll
inline constexpr uint8_t Offline = 0xF1;
inline constexpr uint8_t NoAction = 0xF3;
inline constexpr uint8_t Crosspoint = 0xFE;
inline constexpr uint8_t Salvo = 0xEA;
inline constexpr uint8_t Gain = 0xE3;
inline constexpr uint8_t Text = 0xEC;
inline constexpr uint8_t Info = 0xF2;
inline constexpr uint8_t Map = 0xF6;
inline constexpr uint8_t Query = 0x81;
inline constexpr uint8_t Terminator = 0xFF;

// Crosspoint command words, relay command words and the report of a take.
inline constexpr int16_t CmdTake = 4;
inline constexpr int16_t CmdSumOn = 36;
inline constexpr int16_t CmdSumOff = 32;
inline constexpr int16_t CmdLatch = 68;
inline constexpr int16_t CmdRelease = 64;
inline constexpr int16_t CmdMomentary = 72;

// Gain kinds.
inline constexpr uint8_t SourceGain = 0x01;
inline constexpr uint8_t DestinationGain = 0x03;

// The selector of the crosspoint-map request.
inline const std::string MapRequestSelector{'\x00', '\x01', '\x00', '\x00'};

std::string SingleByte(uint8_t code);
// Appends the checksum of everything so far and the terminator.
std::string& Finish(std::string& frame);

// 0xFE: a crosspoint command or report (command, source, destination) and a relay command.
std::string CrosspointFrame(int64_t command, int64_t source, int64_t destination);
std::string RelayFrame(int64_t command, int64_t relay);
// 0xEA 0x64 salvo.
std::string SalvoFrame(int64_t salvo);
// 0xE3 0x02 kind, the word 1, channel, gain.
std::string GainFrame(uint8_t kind, int64_t channel, int64_t gain);
// 0xEC 0x00 with the raw frame, slot and port bytes, the length word and one word per character.
std::string TextFrame(const std::string& text, uint8_t frame, uint8_t slot, uint8_t port);
// 0xF2 with a 4-byte request selector and six zero bytes (13 bytes in all).
std::string InfoRequestFrame(const std::string& selector);
// 0x81 with one data byte.
std::string QueryFrame(uint8_t data);

}  // namespace qtx::frames
