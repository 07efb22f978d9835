#pragma once
// One delivery attempt through libcurl: the easy handle with everything it points at (headers,
// body, the answer's first bytes, the error text), so the attempt owns its memory until done.
// An attempt without libcurl (an SNMP trap) is made by Immediate() instead.
#include <optional>
#include <string>

#include "alarms/Curl.h"

namespace qtx::alarms {

// How a route answered one attempt.
struct Answer {
    bool Delivered = false;  // the receiver took the whole alarm and said so
    std::string Text;        // "HTTP 200", "HTTP 500", "Couldn't connect to server", ...
};

struct Transfer {
    Easy Handle;  // null for an attempt that needs no libcurl (see Immediate)
    HeaderList Headers;
    HeaderList Recipients;  // e-mail: RCPT TO
    std::string Body;
    size_t Sent = 0;    // of Body, for uploads read by libcurl
    std::string Reply;  // the answer's first bytes
    char Error[CURL_ERROR_SIZE] = {};

    Transfer();
    struct NoHandle {};
    explicit Transfer(NoHandle) {}
    virtual ~Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    // An attempt that is over as soon as it is made (an SNMP trap: one datagram, which no one
    // answers): makes it and gives its answer. Nothing for a libcurl transfer on Handle.
    virtual std::optional<Answer> Immediate() { return std::nullopt; }
    // Common settings: no signals, the time limits, the reply kept (its first 4 KiB).
    void Limit(int connectTimeoutMs, int timeoutMs);
    // The outcome of a finished attempt.
    Answer Outcome(CURLcode code) const;
};

}  // namespace qtx::alarms
