#pragma once
// A fake engine for the console's tests: a listening socket at the state channel's name in a
// program folder, the console's connection to it, and the lines sent down that connection.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "ui/StateMessages.h"

namespace qtx::test {

class StateSocket {
  public:
    explicit StateSocket(const std::string& folder) {
        const std::string path = folder + state::kSocketName;
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("bind " + path);
    }
    ~StateSocket() {
        if (client_ >= 0)
            ::close(client_);
        ::close(fd_);
    }
    StateSocket(const StateSocket&) = delete;
    StateSocket& operator=(const StateSocket&) = delete;

    int Fd() const { return fd_; }
    bool Listen() { return ::listen(fd_, 4) == 0; }
    // The console's connection, waited for up to 5 s (it retries once a second).
    bool Accept() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return false;
        client_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }
    bool Send(const std::string& bytes) {
        return ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool SendLine(const nlohmann::json& line) { return Send(line.dump() + "\n"); }

  private:
    int fd_ = -1;
    int client_ = -1;
};

// A whole state as the engine sends it first: both links up or down, no slave, one panel text.
inline nlohmann::json Snapshot(const std::string& caption, bool linked) {
    return {{"type", "snapshot"},
            {"caption", caption},
            {"icon", 1},
            {"link", {{"server", linked}, {"switcher", linked}}},
            {"slave", {{"enabled", false}, {"server", false}, {"switcher", false}}},
            {"panels", {"1 Total Events", "", ""}},
            {"next", nlohmann::json::array()},
            {"historyColor", 0},
            {"history", nlohmann::json::array()}};
}

}  // namespace qtx::test
