#include "console/ConnectionTable.h"

#include <sys/socket.h>

namespace qtx::console {

ConnectionTable::ConnectionTable(const TrustedProxies& proxies, int perAddress,
                                 std::chrono::seconds head, std::chrono::seconds body)
    : proxies_(proxies), perAddress_(perAddress), head_(head), body_(body) {}

bool ConnectionTable::MayAccept(const std::string& address) const {
    if (proxies_.Trusted(address))
        return true;
    std::lock_guard lock(mutex_);
    auto it = perAddressCount_.find(address);
    return it == perAddressCount_.end() || it->second < perAddress_;
}

void ConnectionTable::Opened(Key connection, int fd, const std::string& address) {
    std::lock_guard lock(mutex_);
    Entry& e = entries_[connection];
    e.Fd = fd;
    e.Address = address;
    e.At = Phase::Head;
    e.Since = Clock::now();
    ++perAddressCount_[address];
}

void ConnectionTable::Closed(Key connection) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(connection);
    if (it == entries_.end())
        return;
    auto count = perAddressCount_.find(it->second.Address);
    if (count != perAddressCount_.end() && --count->second <= 0)
        perAddressCount_.erase(count);
    entries_.erase(it);
}

void ConnectionTable::Move(Key connection, Phase phase) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(connection);
    if (it == entries_.end())
        return;
    it->second.At = phase;
    it->second.Since = Clock::now();
}

void ConnectionTable::HeadRead(Key connection) {
    Move(connection, Phase::Body);
}

void ConnectionTable::BodyRead(Key connection) {
    Move(connection, Phase::Busy);
}

void ConnectionTable::Answered(Key connection) {
    Move(connection, Phase::Head);
}

int ConnectionTable::ShutOverdue(Clock::time_point now) {
    // Under the lock: the library closes a socket only after Closed, so fd is still its own.
    std::lock_guard lock(mutex_);
    int shut = 0;
    for (auto& [key, e] : entries_) {
        if (e.Shut || e.At == Phase::Busy)
            continue;
        if (now - e.Since > (e.At == Phase::Head ? head_ : body_)) {
            ::shutdown(e.Fd, SHUT_RDWR);
            e.Shut = true;
            ++shut;
        }
    }
    return shut;
}

int ConnectionTable::Count(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto it = perAddressCount_.find(address);
    return it == perAddressCount_.end() ? 0 : it->second;
}

}  // namespace qtx::console
