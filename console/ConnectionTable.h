#pragma once
// The open connections: how many each client address holds, and which phase each is in, so a
// connection whose request head or body is overdue can be cut off. Connections from a trusted
// proxy are bounded by the total only.
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "console/ClientAddress.h"

namespace qtx::console {

class ConnectionTable {
  public:
    using Clock = std::chrono::steady_clock;
    using Key = const void*;  // the HTTP library's connection

    ConnectionTable(const TrustedProxies& proxies, int perAddress, std::chrono::seconds head,
                    std::chrono::seconds body);

    // Whether a new connection from address may be taken (it is counted from Opened on).
    bool MayAccept(const std::string& address) const;
    void Opened(Key connection, int fd, const std::string& address);
    void Closed(Key connection);
    // The head of a request is read: its body's deadline starts.
    void HeadRead(Key connection);
    // The request is whole: no deadline while it is handled and answered.
    void BodyRead(Key connection);
    // The answer is sent: the next request's head has its deadline from now.
    void Answered(Key connection);

    // Shuts down (never closes: the library still owns it) the socket of each connection past
    // its deadline; the library then sees it end and closes it. Returns how many.
    int ShutOverdue(Clock::time_point now);
    int Count(const std::string& address) const;

  private:
    enum class Phase { Head, Body, Busy };
    struct Entry {
        int Fd = -1;
        std::string Address;
        Phase At = Phase::Head;
        Clock::time_point Since;
        bool Shut = false;
    };
    void Move(Key connection, Phase phase);

    const TrustedProxies& proxies_;
    int perAddress_;
    std::chrono::seconds head_, body_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Entry> entries_;
    std::map<std::string, int> perAddressCount_;
};

}  // namespace qtx::console
