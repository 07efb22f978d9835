#pragma once
// One HTTP/1.1 request over a fresh connection whose source is a chosen loopback address, so
// that 127.0.0.5 and 127.0.0.6 stand in for two different clients of a console on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>

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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return reply;
    // Generous: a listener with a short backlog answers a burst's last connections late.
    timeval timeout{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    std::string request =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    std::string text;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        reply.Error = std::string("bind: ") + std::strerror(errno);
    else if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        reply.Error = std::string("connect: ") + std::strerror(errno);
    else {
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        char buffer[8192];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        if (n < 0)
            reply.Error = std::string("recv: ") + std::strerror(errno) + " after " +
                          std::to_string(text.size()) + " bytes, " + std::to_string(sent) + " of " +
                          std::to_string(request.size()) + " sent";
    }
    ::close(fd);
    size_t headEnd = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos)
        return reply;
    reply.Status = std::atoi(text.c_str() + text.find(' ') + 1);
    size_t at = text.find("\r\n") + 2;
    while (at < headEnd) {
        size_t end = text.find("\r\n", at);
        std::string line = text.substr(at, end - at);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            size_t value = line.find_first_not_of(' ', colon + 1);
            reply.Headers[name] = value == std::string::npos ? "" : line.substr(value);
        }
        at = end + 2;
    }
    reply.Body = text.substr(headEnd + 4);  // a chunked body keeps its framing; fine for tests
    return reply;
}

}  // namespace qtx::test
