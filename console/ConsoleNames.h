#pragma once
// The names the console answers to, against DNS rebinding and cross-site requests: a Host header
// must name the console and an Origin header, when there is one, must be the console's own.
#include <optional>
#include <string>
#include <vector>

#include "console/HttpMessage.h"

namespace qtx::console {

class ConsoleNames {
  public:
    // hostNames: those given with --host. listen: the address the console listens on; when it is
    // a loopback address, localhost, 127.0.0.1 and [::1] are names too, and the address itself
    // is one unless it is a wildcard. port: the port served; tls: whether it serves https.
    ConsoleNames(const std::vector<std::string>& hostNames, const std::string& listen, int port,
                 bool tls);
    void SetPort(int port) { port_ = port; }

    // The Host header names the console, on the port served (from a trusted proxy, on any port:
    // the proxy's).
    bool HostAllowed(const HttpRequest& req) const;
    // No Origin, or the console's own: its scheme (from a trusted proxy, the one X-Forwarded-Proto
    // names), one of its names and the port served (from a trusted proxy, the one in Host).
    bool OriginAllowed(const HttpRequest& req) const;

    const std::vector<std::string>& Names() const { return names_; }

  private:
    struct Authority {
        std::string Name;  // lower case; an IPv6 address in brackets
        std::optional<int> Port;
    };
    static std::optional<Authority> Parse(const std::string& text);
    bool Known(const std::string& name) const;

    std::vector<std::string> names_;
    int port_;
    bool tls_;
};

}  // namespace qtx::console
