#include "alarms/Transfer.h"

namespace qtx::alarms {

namespace {

size_t KeepReply(char* data, size_t size, size_t count, void* user) {
    std::string& reply = *static_cast<std::string*>(user);
    const size_t n = size * count;
    if (reply.size() < 4096)
        reply.append(data, std::min(n, 4096 - reply.size()));
    return n;
}

}  // namespace

Transfer::Transfer() : Handle(NewEasy()) {}

void Transfer::Limit(int connectTimeoutMs, int timeoutMs) {
    CURL* c = Handle.get();
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, Error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, KeepReply);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &Reply);
}

Answer Transfer::Outcome(CURLcode code) const {
    Answer a;
    if (code != CURLE_OK) {
        a.Text = Error[0] != '\0' ? std::string(Error) : std::string(curl_easy_strerror(code));
        return a;
    }
    long status = 0;
    curl_easy_getinfo(Handle.get(), CURLINFO_RESPONSE_CODE, &status);
    const char* scheme = nullptr;
    curl_easy_getinfo(Handle.get(), CURLINFO_SCHEME, &scheme);
    const std::string s = scheme != nullptr ? scheme : "";
    if (s == "HTTP" || s == "HTTPS" || s == "http" || s == "https") {
        a.Text = "HTTP " + std::to_string(status);
        a.Delivered = status >= 200 && status < 300;
    } else if (s == "SMTP" || s == "SMTPS" || s == "smtp" || s == "smtps") {
        a.Text = "SMTP " + std::to_string(status);  // the server's answer to the message
        a.Delivered = true;
    } else {
        a.Text = status != 0 ? "answered " + std::to_string(status) : "sent";
        a.Delivered = true;
    }
    return a;
}

}  // namespace qtx::alarms
