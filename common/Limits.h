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

// The longest user name: room for a person's name or a role name; anything longer is refused
// before it is checked, kept or written anywhere, so a client cannot make the console hold an
// arbitrary text of its choosing.
inline constexpr size_t kMaxUserName = 32;
// The shortest password an account may be given: even from a few letters and digits, 8 leave
// more candidates than years of guessing at the throttle's rate below can try.
inline constexpr size_t kMinPassword = 8;
// The longest password: far beyond any passphrase, and short enough that a check costs the
// same whatever a client sends.
inline constexpr size_t kMaxPassword = 1024;
// Password checks one client address may cause in one throttle window: a person mistyping has
// room, a guesser gets 7,200 tries a day instead of the hasher's thousands a minute.
inline constexpr int kLoginChecksPerWindow = 5;
// The throttle's window in milliseconds: a sliding minute.
inline constexpr int64_t kLoginWindowMs = 60 * 1000;
// Client addresses the throttle remembers at once. Two checks at a time of about 50 ms each
// give at most about 2,400 checks a minute, so a live table never needs more; when it is full
// of addresses still in their window a further address waits like a throttled one.
inline constexpr size_t kLoginThrottleAddresses = 4096;
// Password checks running at once: each takes 64 MiB for a moment, so a flood of logins cannot
// exhaust the machine's memory.
inline constexpr int kConcurrentPasswordChecks = 2;
// A session not used for this long ends (a restart ends all of them).
inline constexpr int64_t kSessionIdleSeconds = 12 * 60 * 60;

}  // namespace qtx::limits
