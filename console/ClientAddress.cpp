#include "console/ClientAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <stdexcept>

namespace qtx::console {

std::string AddressText(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa == nullptr)
        return {};
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        return ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) ? text : "";
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            return ::inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text) ? text : "";
        return ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) ? text : "";
    }
    return {};
}

std::string NormalAddress(std::string text) {
    size_t start = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (start == std::string::npos)
        return {};
    text = text.substr(start, end - start + 1);
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    sockaddr_in in{};
    sockaddr_in6 in6{};
    if (::inet_pton(AF_INET, text.c_str(), &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        return AddressText(reinterpret_cast<const sockaddr*>(&in));
    }
    if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        return AddressText(reinterpret_cast<const sockaddr*>(&in6));
    }
    return {};
}

TrustedProxies::TrustedProxies(const std::vector<std::string>& addresses) {
    for (const std::string& a : addresses) {
        std::string normal = NormalAddress(a);
        if (normal.empty())
            throw std::invalid_argument("--trusted-proxy: \"" + a + "\" is not an IP address");
        addresses_.push_back(normal);
    }
}

bool TrustedProxies::Trusted(const std::string& peer) const {
    return std::find(addresses_.begin(), addresses_.end(), peer) != addresses_.end();
}

std::string TrustedProxies::ClientOf(const std::string& peer,
                                     const std::string& forwardedFor) const {
    if (!Trusted(peer))
        return peer;
    size_t comma = forwardedFor.rfind(',');
    std::string last =
        NormalAddress(comma == std::string::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    return last.empty() ? peer : last;
}

}  // namespace qtx::console
