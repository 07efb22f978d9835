// Every limit of the engine, the event tool and the console, each with the reason for its value.
// A limit is defined here once and used by name everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qtx::limits {

// ---- The engine's history and the state channel ----

// History rows the state channel's snapshot and the console's merged state keep. The window keeps
// every row, but a subscriber needs only the recent ones: 500 covers more than a busy day's runs
// on the Status page while a snapshot stays well under the subscriber's queue limit.
inline constexpr size_t HistoryKept = 500;

// ---- Events in words and the preview ----

// ---- The console: connections, requests and bodies ----

// ---- The console: accounts, logins and sessions ----

}  // namespace qtx::limits
