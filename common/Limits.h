// Every limit of the engine, the event tool and the console, each with the reason for its value.
// A limit is defined here once and used by name everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qtx::limits {

// ---- The engine's history and the state channel ----

// History rows the state channel's snapshot and the console's merged state keep. The window keeps
// every row, but a subscriber needs only the recent ones: 500 covers more than a busy day's runs
// on the Status page while a snapshot stays well under a subscriber's queue limit.
inline constexpr size_t HistoryKept = 500;

// Bytes a state-channel subscriber may have waiting before it is dropped. The engine never waits
// for a subscriber, so a slow one must cost bounded memory: 1 MiB holds a full snapshot and
// thousands of changes, far more than a live reader ever lags.
inline constexpr size_t SubscriberQueueBytes = size_t{1} << 20;

// Changes the console keeps for its status streams; a stream further behind gets the whole state
// again. 2000 lines is minutes of a busy engine, enough to bridge a browser's reconnect.
inline constexpr size_t StatusChangesKept = 2000;

// ---- Events in words and the preview ----

// Days one preview may cover in the event tool: a year, the longest plan an operator checks at
// once (every weekly event, each one-time and skip marking, both changes of summer time).
inline constexpr int PreviewDaysMax = 366;

// Days one preview may cover through the console. A preview runs the engine in the request's
// thread (about a second of processor time per week of a full file), so the console's bound is a
// month: a long plan is the event tool's job, and a console request stays short.
inline constexpr int ConsolePreviewDaysMax = 31;

// ---- The console: connections, requests and bodies ----

// Bytes of one request body. The largest body is one event or one settings change (a few KiB);
// 64 KiB leaves room for a message text while a flood of large bodies costs little memory.
inline constexpr size_t RequestBodyBytes = 64 * 1024;

// Status streams open at once. Each holds a worker thread for its life; 64 serves every screen
// of a control room and still leaves the pool's other threads to ordinary requests.
inline constexpr int StatusStreamsMax = 64;

// Lines one request for the activity or error log may ask for (100 when it names none): the
// Status page shows the recent lines; 10000 is days of a busy activity log, read in one go.
inline constexpr int LogLinesDefault = 100;
inline constexpr int LogLinesMax = 10000;

// ---- The console: accounts, logins and sessions ----

// Characters of an account name. 32 is the rule of the accounts file and the forms; a login or
// audit entry with a longer name is bounded by the same number, since no account can have it.
inline constexpr size_t UserNameMax = 32;

// Characters of a password: at least 8, so a password is not guessed in the throttled attempts;
// at most 1024, so a login cannot make the key derivation hash megabytes.
inline constexpr size_t PasswordMin = 8;
inline constexpr size_t PasswordMax = 1024;

// Failed logins for one user name or address before each further attempt must wait; the wait
// doubles after each failure up to a minute, which stops guessing but never locks an operator out
// for long.
inline constexpr int LoginFreeFailures = 3;
inline constexpr int LoginMaxWaitSeconds = 60;

// Hours a session lives without being used: a shift, so an operator logs in once per shift.
inline constexpr int SessionIdleHours = 12;

}  // namespace qtx::limits
