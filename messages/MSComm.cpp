#include "messages/MSComm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "messages/SerialSpeed.h"

namespace qtx {
namespace {

[[noreturn]] void RaiseSerial(int32_t number, const std::string& description) {
    throw Fault(number, description);
}

std::string ErrnoText(int err) {
    return std::string(" (") + std::strerror(err) + ")";
}

// A whole decimal number, nothing else; -1 when the text is not one.
long WholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return -1;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Characters the driver still holds for sending; 0 when it cannot tell.
int DriverQueue(int fd) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

// Applies raw 8-bit operation, the framing of s and no handshaking.
bool ApplyLine(int fd, const SerialSettings& s) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (s.DataBits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        default:
            t.c_cflag |= CS8;
            break;
    }
    switch (s.Parity) {
        case 'e':
            t.c_cflag |= PARENB;
            break;
        case 'o':
            t.c_cflag |= PARENB | PARODD;
            break;
        case 'm':
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 's':
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (s.StopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Closes a descriptor unless released, so every failed step of an open leaves nothing behind.
class FdGuard {
  public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        const int f = fd_;
        fd_ = -1;
        return f;
    }

  private:
    int fd_;
};

}  // namespace

SerialSettings ParseSerialSettings(const std::string& text) {
    SerialSettings s;
    std::string parts[4];
    size_t n = 0;
    for (char c : text) {
        if (c == ',') {
            if (++n > 3)
                RaiseSerial(faults::SerialSettings, "Could not set comm state");
        } else if (c != ' ') {
            parts[n] += c;
        }
    }
    if (n != 3)
        RaiseSerial(faults::SerialSettings, "Could not set comm state");
    const long baud = WholeNumber(parts[0]);
    const long data = WholeNumber(parts[2]);
    const std::string& parity = parts[1];
    const std::string& stop = parts[3];
    if (baud < 50 || baud > 4000000 || data < 5 || data > 8 || parity.size() != 1 ||
        std::string("neoms").find(static_cast<char>(parity[0] | 0x20)) == std::string::npos ||
        (stop != "1" && stop != "2"))
        RaiseSerial(faults::SerialSettings, "Could not set comm state");
    s.Baud = static_cast<uint32_t>(baud);
    s.Parity = static_cast<char>(parity[0] | 0x20);
    s.DataBits = static_cast<int>(data);
    s.StopBits = stop == "2" ? 2 : 1;
    return s;
}

std::string SerialDevicePath(const std::string& folder, int16_t port) {
    const std::string link = folder + "COM" + std::to_string(port);
    struct stat st {};
    // lstat: a link counts even when its target is missing, so the open reports that device
    // instead of quietly using another one.
    if (!folder.empty() && ::lstat(link.c_str(), &st) == 0)
        return link;
    return "/dev/ttyS" + std::to_string(port - 1);
}

bool SpeedMatches(uint32_t asked, uint32_t reported) {
    const uint64_t diff = asked > reported ? asked - reported : reported - asked;
    return diff * 50 <= asked;
}

MSComm::~MSComm() {
    if (fd_ >= 0) {
        try {
            SetPortOpen(false);
        } catch (...) {
            // Output discarded at destruction has nobody left to report to.
        }
    }
}

void MSComm::SetInBufferSize(int16_t size) {
    if (size < 1)
        RaiseSerial(faults::InvalidProcedureCall, "Invalid procedure call or argument");
    inBufferSize_ = size;
}

void MSComm::SetOutBufferSize(int16_t size) {
    if (size < 1)
        RaiseSerial(faults::InvalidProcedureCall, "Invalid procedure call or argument");
    outBufferSize_ = size;
}

void MSComm::SetSettings(const std::string& text) {
    ParseSerialSettings(text);
    settings_ = text;
}

void MSComm::SetCommPort(int16_t port) {
    if (fd_ >= 0)
        RaiseSerial(faults::SerialPortOpen, "Port already open");
    if (port < 1)
        RaiseSerial(faults::SerialInvalidPort, "Invalid port number");
    commPort_ = port;
}

void MSComm::SetPortOpen(bool open) {
    if (!open) {
        if (fd_ < 0)
            return;
        CloseDescriptor();
        return;
    }
    if (fd_ >= 0)
        RaiseSerial(faults::SerialPortOpen, "Port already open");
    const SerialSettings s = ParseSerialSettings(settings_);
    const std::string path = SerialDevicePath(LinkFolder, commPort_);
    FdGuard fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENXIO || err == ENODEV)
            RaiseSerial(faults::SerialInvalidPort, "Invalid port number: " + path + ErrnoText(err));
        RaiseSerial(faults::SerialDeviceUnavailable,
                    "Hardware is not available: " + path + ErrnoText(err));
    }
    if (!::isatty(fd.get()))
        RaiseSerial(faults::SerialDeviceUnavailable,
                    "Hardware is not available: " + path + " is not a serial device");
    if (!ApplyLine(fd.get(), s) || !SetLineSpeed(fd.get(), s.Baud))
        RaiseSerial(faults::SerialSettings, "Could not set comm state" + ErrnoText(errno));
    const uint32_t actual = ReadLineSpeed(fd.get());
    if (!SpeedMatches(s.Baud, actual))
        RaiseSerial(faults::SerialSettings, "Could not set comm state: " + path + " runs at " +
                                                std::to_string(actual) + " baud, not " +
                                                std::to_string(s.Baud));
    // Anything left from an earlier user of the device is not ours to send.
    ::tcflush(fd.get(), TCIOFLUSH);
    pending_.clear();
    fd_ = fd.release();
}

void MSComm::Output(const std::string& data) {
    if (fd_ < 0)
        RaiseSerial(faults::SerialNotOpen, "The device is not open");
    int err = 0;
    if (pending_.size() + data.size() > static_cast<size_t>(outBufferSize_)) {
        err = Flush();
        if (pending_.size() + data.size() > static_cast<size_t>(outBufferSize_))
            RaiseSerial(faults::SerialWrite, "Error writing comm device: transmit buffer full");
    }
    pending_ += data;
    if (err == 0)
        err = Flush();
    if (err != 0)
        RaiseSerial(faults::SerialWrite, "Error writing comm device" + ErrnoText(err));
}

int MSComm::Flush() {
    while (!pending_.empty()) {
        const ssize_t n = ::write(fd_, pending_.data(), pending_.size());
        if (n > 0) {
            pending_.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        return 0;  // the driver is full for now
    }
    return 0;
}

void MSComm::CloseDescriptor() {
    // Wait a bounded time for our buffer and the driver's queue to empty; a real serial port
    // would otherwise hold close() for as long as its output takes (up to half a minute).
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + std::chrono::milliseconds(ClosingWaitMs);
    int failure = 0;
    for (;;) {
        failure = Flush();
        if (failure != 0)
            break;
        if (pending_.empty() && DriverQueue(fd_) == 0)
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd_, static_cast<short>(pending_.empty() ? 0 : POLLOUT), 0};
        ::poll(&p, 1, static_cast<int>(left.count() < 5 ? left.count() : 5));
    }
    const size_t unsent = pending_.size() + static_cast<size_t>(DriverQueue(fd_));
    if (unsent > 0)
        ::tcflush(fd_, TCOFLUSH);  // so close() itself does not wait for it
    ::close(fd_);
    fd_ = -1;
    pending_.clear();
    if (failure != 0)
        RaiseSerial(faults::SerialWrite, "Error writing comm device" + ErrnoText(failure));
    if (unsent > 0)
        RaiseSerial(faults::SerialWrite, "Error writing comm device: " + std::to_string(unsent) +
                                             " characters not sent in time");
}

}  // namespace qtx
