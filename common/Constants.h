#pragma once
// Fixed names and texts shared by several modules.
#include <cstdint>

namespace qtx::constants {

inline constexpr const char* DatabaseFileName = "QTXAutomation.mdb";
inline constexpr const char* CompactFileName = "TempCompact.mdb";
inline constexpr const char* ActivityLogFileName = "Tally.Dat";
inline constexpr const char* ErrorLogFileName = "Errorlog.txt";
inline constexpr const char* HelpFileName = "Runvane.HLP";

inline constexpr int TickPeriodMs = 500;
// The tick fires this long after each wall-clock second and half second: late enough that the
// clock reads the new second, early enough that an event leaves within a few milliseconds.
inline constexpr int TickPhaseMs = 1;
inline constexpr int16_t CurrentSchemaVersion = 7;
inline constexpr int32_t DefaultServerPort = 1250;

// Window icons of the image list: 1 switcher connected, 2 not connected.
inline constexpr int IconConnected = 1;
inline constexpr int IconNotConnected = 2;

inline constexpr const char* CaptionServerNotConnected = "QTX Automation - Server Not Connected";
inline constexpr const char* CaptionSwitcherConnected = "QTX Automation - Switcher Connected";
inline constexpr const char* CaptionSwitcherNotConnected =
    "QTX Automation - Switcher Not Connected";

inline constexpr int32_t ColorRed = 255;
inline constexpr int32_t ColorBlack = 0;

}  // namespace qtx::constants
