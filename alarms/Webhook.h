#pragma once
// The webhook route: one alarm as JSON in an HTTP or HTTPS POST to the route's URL, signed with
// X-QTX-Signature: sha256=HEX (HMAC-SHA256 of the body with the route's secret) when it has one.
#include <memory>
#include <string>

#include "alarms/AlarmRoutes.h"
#include "alarms/Transfer.h"

namespace qtx::alarms {

// Lowercase hex of HMAC-SHA256(key, body).
std::string HmacSha256Hex(const std::string& key, const std::string& body);

// The attempt, ready for curl_easy_perform or a multi handle.
std::unique_ptr<Transfer> WebhookTransfer(const AlarmRoute& route, const std::string& body,
                                          int connectTimeoutMs, int timeoutMs);

}  // namespace qtx::alarms
