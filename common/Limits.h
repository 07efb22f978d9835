// Every limit of the engine, the event tool and the console, each with the reason for its value.
// A limit is defined here once and used by name everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qtx::limits {

// ---- The engine's history and the state channel ----

// ---- Events in words and the preview ----

// ---- The console: connections, requests and bodies ----

// ---- The console: accounts, logins and sessions ----

}  // namespace qtx::limits
