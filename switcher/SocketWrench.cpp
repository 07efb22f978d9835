#include "switcher/SocketWrench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx {

namespace {

enum class State { Idle, Connecting, Connected };

// Socket errors are reported as 24000 + the number the old control used for them.
int32_t SocketErrorNumber(int err) {
    switch (err) {
        case EAGAIN:
            return faults::SocketWouldBlock;
        case EINVAL:
            return faults::SocketInvalidArgument;
        case ENOTCONN:
            return faults::SocketNotConnected;
        case ECONNREFUSED:
            return faults::SocketConnectionRefused;
        case ECONNRESET:
        case EPIPE:
            return faults::SocketConnectionReset;
        case ECONNABORTED:
            return faults::SocketConnectionAborted;
        case ETIMEDOUT:
            return faults::SocketTimedOut;
        default:
            return faults::SocketError;
    }
}

}  // namespace

struct SocketWrench::Impl {
    int fd = -1;                    // the socket, -1 when released
    EventLoop::WatchId watch = -1;  // its watch in the loop
    LocalEnd* local = nullptr;      // the in-process stream used instead of a descriptor
    State state = State::Idle;      // where the connection stands
    std::string rest;               // accepted by Write, not yet taken by the kernel
    bool dropPending = false;       // the link is being dropped; the loop raises the event
};

SocketWrench::SocketWrench(EventLoop& loop) : loop_(loop), impl_(std::make_unique<Impl>()) {}

SocketWrench::~SocketWrench() {
    Release();
}

bool SocketWrench::IsConnected() const {
    return impl_->state == State::Connected && !impl_->dropPending;
}

bool SocketWrench::IsConnecting() const {
    return impl_->state == State::Connecting;
}

size_t SocketWrench::UnsentBytes() const {
    return impl_->rest.size();
}

void SocketWrench::Release() {
    if (impl_->watch >= 0)
        loop_.DeleteWatch(impl_->watch);
    if (impl_->fd >= 0)
        ::close(impl_->fd);
    if (impl_->local != nullptr)
        impl_->local->Close();
    impl_->local = nullptr;
    impl_->watch = -1;
    impl_->fd = -1;
    impl_->state = State::Idle;
    impl_->rest.clear();
    impl_->dropPending = false;
}

void SocketWrench::SetAction(int16_t action) {
    if (action == 7)
        Release();
}

int32_t SocketWrench::Connect() {
    Release();
    lastError_ = 0;
    // Refused at once: anything but a non-blocking IPv4 stream socket, a missing or non-dotted
    // address, the wildcard 0.0.0.0 (on Linux it would reach this very host) and bad ports.
    in_addr addr{};
    if (AddressFamily != 2 || SocketType != 1 || (Protocol != 0 && Protocol != IPPROTO_TCP) ||
        Blocking || ::inet_pton(AF_INET, HostAddress.c_str(), &addr) != 1 ||
        addr.s_addr == INADDR_ANY || RemotePort <= 0 || RemotePort > 65535) {
        lastError_ = faults::SocketInvalidArgument;
        return lastError_;
    }
    if (Dialer) {
        LocalEnd* end = Dialer(HostAddress, RemotePort);
        if (end == nullptr) {
            // Refused: the attempt ends quietly, as a refused socket's does.
            lastError_ = faults::SocketConnectionRefused;
            return 0;
        }
        impl_->local = end;
        impl_->state = State::Connecting;
        end->OnReady = [this] { OnLocalReady(); };
        return 0;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = SocketErrorNumber(errno);
        return lastError_;
    }
    if (BufferSize > 0) {
        int size = BufferSize;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    int on = KeepAlive ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    on = 1;  // frames are small and must not wait for more
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(RemotePort));
    sa.sin_addr = addr;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        lastError_ = SocketErrorNumber(errno);
        ::close(fd);
        return lastError_;
    }
    // Even a connection made at once is announced from the loop, never from inside Connect.
    impl_->fd = fd;
    impl_->state = State::Connecting;
    impl_->watch =
        loop_.AddWatch(fd, EventLoop::Writable, [this](unsigned ready) { OnReady(ready); });
    return 0;
}

void SocketWrench::UpdateWatchMask() {
    if (impl_->watch < 0)
        return;
    unsigned mask = EventLoop::Readable;
    if (!impl_->rest.empty())
        mask |= EventLoop::Writable;
    loop_.UpdateWatch(impl_->watch, mask);
}

void SocketWrench::Drop() {
    Release();
    if (OnDisconnect)
        OnDisconnect();
}

void SocketWrench::OnReady(unsigned ready) {
    if (impl_->state == State::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(impl_->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            // Refused or unreachable: the attempt ends without an event.
            lastError_ = SocketErrorNumber(err);
            Release();
            return;
        }
        if (!(ready & EventLoop::Writable))
            return;
        impl_->state = State::Connected;
        UpdateWatchMask();
        if (OnConnect)
            OnConnect();
        return;
    }
    if (impl_->state != State::Connected)
        return;
    if (impl_->dropPending) {
        Drop();
        return;
    }
    if ((ready & EventLoop::Writable) && !impl_->rest.empty()) {
        FlushRest();
        if (impl_->state != State::Connected)
            return;
    }
    if (!(ready & EventLoop::Readable))
        return;
    int waiting = 0;
    if (::ioctl(impl_->fd, FIONREAD, &waiting) == 0 && waiting > 0) {
        if (OnRead)
            OnRead(waiting);
        return;
    }
    // Nothing waiting although readable: the peer closed or the connection broke.
    char c;
    ssize_t n = ::recv(impl_->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        lastError_ = n == 0 ? faults::SocketNotConnected : SocketErrorNumber(errno);
        Drop();
    }
}

void SocketWrench::OnLocalReady() {
    LocalEnd& end = *impl_->local;
    if (impl_->state == State::Connecting) {
        impl_->state = State::Connected;
        if (OnConnect)
            OnConnect();
        return;  // bytes already waiting are told on the next round
    }
    if (impl_->state != State::Connected)
        return;
    if (end.Waiting() > 0) {
        if (OnRead)
            OnRead(static_cast<int32_t>(std::min<size_t>(end.Waiting(), INT32_MAX)));
        return;
    }
    if (end.PeerClosed()) {
        lastError_ = faults::SocketNotConnected;
        Drop();
    }
}

void SocketWrench::FlushRest() {
    std::string& rest = impl_->rest;
    while (!rest.empty()) {
        ssize_t n = ::send(impl_->fd, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                break;
            lastError_ = SocketErrorNumber(errno);
            Drop();
            return;
        }
        rest.erase(0, static_cast<size_t>(n));
    }
    UpdateWatchMask();
}

int32_t SocketWrench::Write(const std::string& buffer, int32_t length) {
    bytesSent_ = 0;
    if (!IsConnected()) {
        lastError_ = faults::SocketNotConnected;
        throw Fault(lastError_, "Socket is not connected");
    }
    if (length < 0) {
        lastError_ = faults::SocketInvalidArgument;
        throw Fault(lastError_, "Invalid argument");
    }
    const size_t count = std::min(buffer.size(), static_cast<size_t>(length));
    if (impl_->local != nullptr) {
        if (!impl_->local->Write(buffer.data(), count)) {
            lastError_ = faults::SocketConnectionReset;
            throw Fault(lastError_, "Error writing to socket");
        }
        lastError_ = 0;
        bytesSent_ = static_cast<int32_t>(count);
        return bytesSent_;
    }
    size_t sent = 0;
    if (impl_->rest.empty() && count > 0) {
        ssize_t n = ::send(impl_->fd, buffer.data(), count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            lastError_ = SocketErrorNumber(errno);
            throw Fault(lastError_, "Error writing to socket");
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (!KeepUnsentRest) {
        lastError_ = sent == 0 && count > 0 ? faults::SocketWouldBlock : 0;
        bytesSent_ = static_cast<int32_t>(sent);
        return bytesSent_;
    }
    impl_->rest.append(buffer, sent, count - sent);
    if (impl_->rest.size() > MaxUnsentRest) {
        // The peer has stopped reading: drop the link rather than queue without end. The loop
        // raises the disconnect event (the hang-up makes the descriptor ready).
        impl_->rest.clear();
        impl_->dropPending = true;
        ::shutdown(impl_->fd, SHUT_RDWR);
        UpdateWatchMask();
        lastError_ = faults::SocketConnectionAborted;
        throw Fault(lastError_, "Connection dropped: the peer is not reading");
    }
    UpdateWatchMask();
    lastError_ = 0;
    bytesSent_ = static_cast<int32_t>(count);
    return bytesSent_;
}

int32_t SocketWrench::Read(std::string& buffer, int32_t maxLength) {
    buffer.clear();
    if (impl_->state != State::Connected) {
        lastError_ = faults::SocketNotConnected;
        return 0;
    }
    if (maxLength < 1) {
        lastError_ = faults::SocketInvalidArgument;
        return 0;
    }
    buffer.resize(static_cast<size_t>(maxLength));
    if (impl_->local != nullptr) {
        const size_t got = impl_->local->Read(buffer.data(), buffer.size());
        buffer.resize(got);
        lastError_ = got > 0                      ? 0
                     : impl_->local->PeerClosed() ? faults::SocketNotConnected
                                                  : faults::SocketWouldBlock;
        return static_cast<int32_t>(got);
    }
    ssize_t n = ::recv(impl_->fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
        buffer.resize(static_cast<size_t>(n));
        lastError_ = 0;
        return static_cast<int32_t>(n);
    }
    buffer.clear();
    if (n == 0)
        lastError_ = faults::SocketNotConnected;  // the peer ended the stream
    else
        lastError_ = SocketErrorNumber(errno == EWOULDBLOCK ? EAGAIN : errno);
    return 0;
}

bool SocketWrench::IsWritable() const {
    if (!IsConnected() || !impl_->rest.empty())
        return false;
    if (impl_->local != nullptr)
        return true;  // an in-process stream takes every byte
    pollfd p{impl_->fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
}

int32_t StartConnection(SocketWrench& s, const std::string& address, int32_t port) {
    s.Release();
    s.AddressFamily = 2;
    s.Protocol = 0;
    s.SocketType = 1;
    s.TextMode = false;
    s.Blocking = false;
    s.BufferSize = 32767;
    s.KeepAlive = false;
    s.HostAddress = address;
    s.RemotePort = port;
    const int32_t result = s.Connect();
    if (result != 0) {
        s.SetAction(7);
        s.Release();
    }
    return result;
}

}  // namespace qtx
