#pragma once
// A small HTTP receiver on 127.0.0.1 for webhook tests, on a thread of its own: it answers
// every complete POST with 200 (or 500), or stalls (reads the request, never answers); and the
// waiting and port helpers the alarm tests share.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Loopback.h"

namespace qtx::test {

// Whether done() came true within ms, asked every few milliseconds.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A loopback port (SOCK_STREAM or SOCK_DGRAM) free a moment ago: nothing listens there.
inline int FreePort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int port = BindLoopback(fd);
    ::close(fd);
    return port;
}

class WebhookReceiver {
  public:
    enum class Mode { Ok, Fail500, Stall };
    struct Request {
        std::string Head;  // request line and headers
        std::string Body;
        int64_t AtUs = 0;  // when it was all here, wall clock (epoch microseconds)
    };

    explicit WebhookReceiver(Mode mode) : mode_(mode) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        port_ = BindLoopback(fd_);
        ::listen(fd_, 64);
        thread_ = std::thread([this] { Run(); });
    }
    ~WebhookReceiver() {
        stop_ = true;
        thread_.join();
        for (auto& [fd, in] : conns_)
            ::close(fd);
        ::close(fd_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }
    std::vector<Request> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_.size();
    }
    // Waits (bounded) until at least n requests arrived.
    bool WaitFor(size_t n, int ms = 5000) const {
        return WaitUntil([&] { return Count() >= n; }, ms);
    }

    // The value of a header of a request ("" when absent), names without regard to case.
    static std::string Header(const Request& r, const std::string& name) {
        auto lower = [](std::string s) {
            for (char& c : s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        const std::string lowerHead = lower(r.Head), lowerName = lower(name + ":");
        const size_t at = lowerHead.find("\r\n" + lowerName);
        if (at == std::string::npos)
            return "";
        size_t from = at + 2 + lowerName.size();
        while (from < r.Head.size() && r.Head[from] == ' ')
            ++from;
        return r.Head.substr(from, r.Head.find("\r\n", from) - from);
    }

  private:
    void Run() {
        while (!stop_) {
            std::vector<pollfd> fds{{fd_, POLLIN, 0}};
            for (auto& [fd, in] : conns_)
                fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0)
                    conns_[c];
            }
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents != 0)
                    Read(fds[i].fd);
        }
    }
    void Read(int fd) {
        char buf[8192];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            ::close(fd);
            conns_.erase(fd);
            return;
        }
        std::string& in = conns_[fd];
        in.append(buf, static_cast<size_t>(n));
        for (;;) {
            const size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            Request r{in.substr(0, end + 2), ""};
            const size_t length = std::stoul("0" + Header(r, "Content-Length"));
            if (in.size() < end + 4 + length)
                return;  // the body is not all here: nothing half-received is counted
            r.Body = in.substr(end + 4, length);
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            r.AtUs = int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
            in.erase(0, end + 4 + length);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(r);
            }
            if (mode_ == Mode::Stall)
                continue;
            const std::string reply = mode_ == Mode::Ok
                                          ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
                                          : "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n";
            [[maybe_unused]] ssize_t w = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }

    Mode mode_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_ = false;
    std::map<int, std::string> conns_;  // the receiver thread's own
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// A loopback URL where nothing listens (a port just released).
inline std::string RefusingUrl() {
    return "http://127.0.0.1:" + std::to_string(FreePort(SOCK_STREAM)) + "/hook";
}

}  // namespace qtx::test
