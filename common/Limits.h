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

// The longest line the console reads from the state channel. The longest line the engine writes
// is its snapshot, and a snapshot past a subscriber's queue limit would get it dropped, so four
// times that limit is room a real engine never needs; a longer line is dropped up to its newline,
// so whatever is on the other end cannot make the console hold more than this.
inline constexpr size_t StateLineBytes = 4 * SubscriberQueueBytes;

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

// The Week page's grid: occurrences a day it shows at once (40, a screen's worth, unless it asks)
// and at most (500: a long screen, still a small answer); records without a day or a time it
// lists in full (200; the rest it counts); the longest text it may search by (200 bytes, far
// more than a title).
inline constexpr size_t WeekCount = 40;
inline constexpr long long WeekCountMax = 500;
inline constexpr size_t WeekApartMax = 200;
inline constexpr size_t WeekFindMax = 200;
// Seconds the Week page's judgement of a week (the preview's runs) is kept for its paging and
// Find while the event file is unchanged: the preview is the costly part of the page, and a
// change of the file (an edit, a marking the engine consumed) makes a new one at once.
inline constexpr uint32_t WeekRunsKeptSeconds = 30;

// ---- The console: connections, requests and bodies ----

// Lines one request for the activity or error log may ask for (100 when it names none): the
// Status page shows the recent lines; 10000 is days of a busy activity log, read in one go.
inline constexpr int LogLinesDefault = 100;
inline constexpr int LogLinesMax = 10000;

// Connections the console holds at once. Each is a file descriptor and a small buffer, not a
// thread; 512 stays well inside the usual limit of 1024 descriptors with the database and logs.
inline constexpr int ConsoleMaxConnections = 512;
// Connections one client address may hold (a trusted proxy is bounded by the total only). A
// browser opens at most six to one site; 32 leaves room for several tabs, each with a status
// stream, and for a script beside them, while one address can take no more than a sixteenth of
// the total.
inline constexpr int ConsoleMaxConnectionsPerAddress = 32;
// Header lines in one request: a browser sends about 15, a proxy adds a few.
inline constexpr size_t ConsoleMaxHeaders = 100;
// Bytes of a request's header lines together: a browser's head with the session cookie is under
// 2 KiB; 16 KiB is what common proxies allow by default.
inline constexpr size_t ConsoleMaxHeaderBytes = 16 * 1024;
// Memory the HTTP library may use per connection for the head and the read buffer: twice the
// header limit, so a head just past the limit is still read and refused with its reason, while a
// longer one is refused by the library itself.
inline constexpr size_t ConsoleConnectionMemory = 2 * ConsoleMaxHeaderBytes;
// Seconds from a connection's start (or its previous answer) until its request head is complete,
// and from then until the body is complete. A client on a slow network sends a head and a 64 KiB
// body in well under a second; 10 s each keeps a slow sender from holding a connection for long.
inline constexpr int ConsoleHeadDeadlineSeconds = 10;
inline constexpr int ConsoleBodyDeadlineSeconds = 10;
// Seconds an answer may wait for the client to read it before the connection is closed: a
// stream sends a keep-alive line every 15 s, well within it.
inline constexpr int ConsoleIdleSeconds = 60;
// A JSON request body: an event with its actions and messages is under 8 KiB, a user or the
// settings under 1 KiB; 64 KiB is ample and bounds what a request can make the console hold.
inline constexpr size_t ConsoleMaxBody = 64 * 1024;
// The body of an import (POST /api/import): a full file of 32767 short events is under 3 MiB as
// CSV and 7 MiB in the list's JSON; 64 MiB takes such a file with long titles and message texts,
// while the console still holds only a bounded body (and runs one import at a time).
inline constexpr size_t ConsoleMaxImportBody = 64 * 1024 * 1024;
// The body of a calendar's change (its dates in JSON, or an iCalendar file to import) and of all
// calendars at once: five years of daily dates with the longest titles are under 600 KiB of JSON,
// and a public-holiday file for decades is tens of KiB; 4 MiB takes several such calendars and
// large exported feeds, while a request still holds only a bounded body.
inline constexpr size_t ConsoleMaxCalendarBody = 4 * 1024 * 1024;
// The body a request without one (a GET, a DELETE, logout) may still carry and have ignored:
// some clients send "{}" or a few bytes with every request.
inline constexpr size_t ConsoleMaxIgnoredBody = 1024;
// Threads that run the handlers (database reads and writes, the preview, password checks). The
// connections wait on the event loop, not on these; four keep two cores busy while one handler
// waits for the database.
inline constexpr int ConsoleWorkers = 4;
// Requests waiting for a worker; beyond it a request is answered 503 at once.
inline constexpr size_t ConsoleQueuedRequests = 256;
// Status streams open at once; each costs a connection and a little memory, never a thread.
inline constexpr int ConsoleMaxStreams = 64;
// Seconds between keep-alive lines on a quiet status stream, so proxies keep it open.
inline constexpr int ConsoleStreamKeepAliveSeconds = 15;

// ---- The console: accounts, logins and sessions ----

// The longest user name: room for a person's name or a role name; anything longer is refused
// before it is checked, kept or written anywhere, so a client cannot make the console hold an
// arbitrary text of its choosing.
inline constexpr size_t MaxUserName = 32;
// The shortest password an account may be given: even from a few letters and digits, 8 leave
// more candidates than years of guessing at the throttle's rate below can try.
inline constexpr size_t MinPassword = 8;
// The longest password: far beyond any passphrase, and short enough that a check costs the
// same whatever a client sends.
inline constexpr size_t MaxPassword = 1024;
// Password checks one client address may cause in one throttle window: a person mistyping has
// room, a guesser gets 7,200 tries a day instead of the hasher's thousands a minute.
inline constexpr int LoginChecksPerWindow = 5;
// The throttle's window in milliseconds: a sliding minute.
inline constexpr int64_t LoginWindowMs = 60 * 1000;
// Client addresses the throttle remembers at once. Two checks at a time of about 50 ms each
// give at most about 2,400 checks a minute, so a live table never needs more; when it is full
// of addresses still in their window a further address waits like a throttled one.
inline constexpr size_t LoginThrottleAddresses = 4096;
// Password checks running at once: each takes 64 MiB for a moment, so a flood of logins cannot
// exhaust the machine's memory.
inline constexpr int ConcurrentPasswordChecks = 2;
// A session not used for this long ends (a restart ends all of them).
inline constexpr int64_t SessionIdleSeconds = 12 * 60 * 60;

// ---- The console: each account's share ----

// Sessions one account may hold at once, all its browsers and scripts together. A further login
// ends the account's least recently used session instead of being refused: a forgotten browser
// or a script that never logs out must not lock its operator out. Only someone who has the
// account's password can log in as it, so no one can end another account's sessions this way.
inline constexpr size_t SessionsPerAccount = 8;
// Status streams one account may hold at once: a Status page in a few tabs. Beyond it a stream is
// refused (429), so one account cannot take the console's streams from the others.
inline constexpr int StreamsPerAccount = 4;
// Previews one account may have running at once; a second is refused (429) while one runs. A
// preview is seconds of processor time, and a page asks for one at a time.
inline constexpr int PreviewsPerAccount = 1;
// Runs one console preview may list: a month of a file with 1,600 executions a day, a week of a
// full file. The preview stops once it has more and the request is refused (422), so its work and
// memory (about 1 KiB a run while it is answered) stay bounded whatever the file holds.
inline constexpr size_t ConsolePreviewRunsMax = 50000;
// Bytes of one preview's answer: 50,000 runs of ordinary titles take about 20 MiB; long titles and
// texts beyond this are refused (422) rather than held.
inline constexpr size_t ConsolePreviewAnswerBytes = 32 * 1024 * 1024;
// The nice value the preview's thread takes when it cannot take the idle scheduling class: the
// lowest priority there is, so the engine on the same machine always runs first.
inline constexpr int ConsolePreviewNice = 19;
// Cleared alarms the state channel's snapshot carries (the active ones all go).
inline constexpr size_t StateChannelClearedAlarms = 100;

}  // namespace qtx::limits
