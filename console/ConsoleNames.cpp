#include "console/ConsoleNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "console/ClientAddress.h"

namespace qtx::console {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// An address as a name: IPv6 in brackets, as it appears in Host and Origin.
std::string AsName(const std::string& host) {
    std::string address = NormalAddress(host);
    if (!address.empty())
        return address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return Lower(host);
}

bool IsLoopback(const std::string& host) {
    std::string a = NormalAddress(host);
    return Lower(host) == "localhost" || a == "::1" || a.rfind("127.", 0) == 0;
}

bool IsWildcard(const std::string& host) {
    std::string a = NormalAddress(host);
    return host.empty() || a == "0.0.0.0" || a == "::";
}

}  // namespace

ConsoleNames::ConsoleNames(const std::vector<std::string>& hostNames, const std::string& listen,
                           int port, bool tls)
    : port_(port), tls_(tls) {
    for (const std::string& n : hostNames)
        if (!n.empty())
            names_.push_back(AsName(n));
    if (IsLoopback(listen))
        for (const char* n : {"localhost", "127.0.0.1", "[::1]"})
            names_.push_back(n);
    if (!IsWildcard(listen))
        names_.push_back(AsName(listen));
    std::sort(names_.begin(), names_.end());
    names_.erase(std::unique(names_.begin(), names_.end()), names_.end());
}

std::optional<ConsoleNames::Authority> ConsoleNames::Parse(const std::string& text) {
    Authority a;
    std::string rest;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        a.Name = Lower(text.substr(0, close + 1));
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        a.Name = Lower(text.substr(0, colon));
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (a.Name.empty() || a.Name.find_first_of("/@ \t") != std::string::npos)
        return std::nullopt;
    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() < 2)
            return std::nullopt;
        int port = 0;
        auto [end, ec] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), port);
        if (ec != std::errc() || end != rest.data() + rest.size() || port <= 0 || port > 65535)
            return std::nullopt;
        a.Port = port;
    }
    return a;
}

bool ConsoleNames::Known(const std::string& name) const {
    return std::find(names_.begin(), names_.end(), AsName(name)) != names_.end();
}

bool ConsoleNames::HostAllowed(const HttpRequest& req) const {
    std::optional<Authority> host = Parse(req.get_header_value("Host"));
    if (!host || !Known(host->Name))
        return false;
    if (req.via_proxy)
        return true;
    return host->Port.value_or(tls_ ? 443 : 80) == port_;
}

bool ConsoleNames::OriginAllowed(const HttpRequest& req) const {
    if (!req.has_header("Origin"))
        return true;
    std::string origin = req.get_header_value("Origin");
    std::string scheme =
        req.via_proxy ? (req.get_header_value("X-Forwarded-Proto") == "https" ? "https" : "http")
                      : (tls_ ? "https" : "http");
    std::string prefix = scheme + "://";
    if (origin.rfind(prefix, 0) != 0)
        return false;
    std::optional<Authority> a = Parse(origin.substr(prefix.size()));
    if (!a || !Known(a->Name))
        return false;
    int defaultPort = scheme == "https" ? 443 : 80;
    int expected = port_;
    if (req.via_proxy) {
        std::optional<Authority> host = Parse(req.get_header_value("Host"));
        expected = host && host->Port ? *host->Port : defaultPort;
    }
    return a->Port.value_or(defaultPort) == expected;
}

}  // namespace qtx::console
