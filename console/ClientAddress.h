#pragma once
// Whose request it is: the connection's address, or, only when the connection comes from a
// trusted proxy, the last address the proxy put in X-Forwarded-For (the one it saw itself; those
// before it are the client's own claims).
#include <sys/socket.h>
#include <string>
#include <vector>

namespace qtx::console {

// An address in its usual text form ("127.0.0.5", "::1"); an IPv4 address mapped into IPv6
// ("::ffff:127.0.0.5") reads as the IPv4 one. "" when sa is neither.
std::string AddressText(const sockaddr* sa);
// text as an address in the form above; "" when it is not an IPv4 or IPv6 address.
std::string NormalAddress(std::string text);

class TrustedProxies {
  public:
    TrustedProxies() = default;
    // Throws std::invalid_argument naming an entry that is not an address.
    explicit TrustedProxies(const std::vector<std::string>& addresses);
    bool Trusted(const std::string& peer) const;
    // The client's address for a connection from peer carrying forwardedFor (the values of every
    // X-Forwarded-For header, in order, joined by ",").
    std::string ClientOf(const std::string& peer, const std::string& forwardedFor) const;

  private:
    std::vector<std::string> addresses_;
};

}  // namespace qtx::console
