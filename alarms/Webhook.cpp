#include "alarms/Webhook.h"

#include <sodium.h>

#include <stdexcept>

namespace qtx::alarms {

std::string HmacSha256Hex(const std::string& key, const std::string& body) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    crypto_auth_hmacsha256_state state;
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(key.data()),
                                key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(body.data()),
                                  body.size());
    crypto_auth_hmacsha256_final(&state, mac);
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : mac) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

std::unique_ptr<Transfer> WebhookTransfer(const AlarmRoute& route, const std::string& body,
                                          int connectTimeoutMs, int timeoutMs) {
    auto t = std::make_unique<Transfer>();
    t->Body = body;
    t->Limit(connectTimeoutMs, timeoutMs);
    AddHeader(t->Headers, "Content-Type: application/json");
    AddHeader(t->Headers, "Expect:");  // no 100-continue round trip for a small body
    if (!route.Secret.empty())
        AddHeader(t->Headers, "X-QTX-Signature: sha256=" + HmacSha256Hex(route.Secret, body));
    CURL* c = t->Handle.get();
    curl_easy_setopt(c, CURLOPT_URL, route.Target.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, t->Body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->Body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->Headers.get());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "qtx-automation");
    return t;
}

}  // namespace qtx::alarms
