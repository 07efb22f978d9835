#pragma once
// One HTTP/1.1 request over a fresh connection whose source is a chosen loopback address, so
// that 127.0.0.5 and 127.0.0.6 stand in for two different clients of a console on 127.0.0.1.
#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "console/RawConnection.h"

namespace qtx::test {

struct LoopbackReply {
    int Status = 0;                              // 0: no answer
    std::map<std::string, std::string> Headers;  // names in lower case
    std::string Body;
    std::string Error;  // why there is no answer
};

inline LoopbackReply SendFrom(const std::string& source, int port, const std::string& method,
                              const std::string& path, const std::string& body,
                              const std::string& extraHeaders = "") {
    LoopbackReply reply;
    std::string text;
    try {
        RawConnection c(port, source);
        c.Send(
            method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body);
        // Generous: a listener with a short backlog answers a burst's last connections late.
        text = c.Receive(60000);
    } catch (const std::exception& e) {
        reply.Error = e.what();
    }
    const size_t headEnd = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos)
        return reply;
    reply.Status = std::atoi(text.c_str() + text.find(' ') + 1);
    for (size_t at = text.find("\r\n") + 2, end; at < headEnd; at = end + 2) {
        end = text.find("\r\n", at);
        const std::string line = text.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t value = line.find_first_not_of(' ', colon + 1);
        reply.Headers[name] = value == std::string::npos ? "" : line.substr(value);
    }
    reply.Body = text.substr(headEnd + 4);  // a chunked body keeps its framing; fine for tests
    return reply;
}

}  // namespace qtx::test
