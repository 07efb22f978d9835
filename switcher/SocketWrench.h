#pragma once
// A non-blocking IPv4 TCP client socket in the manner of the old socket control: properties set
// before Connect, a Connect that returns at once, and connect, read and disconnect events
// delivered through the event loop. One instance per switcher link plus the IP message socket.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/EventLoop.h"
#include "switcher/LocalStream.h"

namespace qtx {

class SocketWrench {
  public:
    explicit SocketWrench(EventLoop& loop);
    ~SocketWrench();
    SocketWrench(const SocketWrench&) = delete;
    SocketWrench& operator=(const SocketWrench&) = delete;

    // Events, each run from the event loop. A connect attempt that fails (refused, unreachable)
    // ends quietly: the socket is closed and no event follows.
    std::function<void()> OnConnect;
    std::function<void(int32_t dataLength)> OnRead;  // bytes waiting
    std::function<void()> OnDisconnect;

    // Connection properties, set before Connect (the values the engine uses in brackets).
    int16_t AddressFamily = 2;   // (2) Internet; anything else is refused by Connect
    int16_t Protocol = 0;        // (0) the default protocol of the socket type
    int16_t SocketType = 1;      // (1) stream; anything else is refused by Connect
    bool TextMode = false;       // (False) bytes go out unchanged
    bool Blocking = false;       // (False) every call returns at once; True is not supported
    int16_t BufferSize = 32767;  // (32767) the kernel send buffer asked for, in bytes
    bool KeepAlive = false;      // (False) TCP keep-alive probes
    std::string HostAddress;     // dotted IPv4 address
    int32_t RemotePort = 0;

    // When set, Connect asks it for an in-process stream to address:port instead of opening a
    // socket (the preview reaches its simulator so); nullptr is a refused attempt. The stream's
    // readiness reaches the socket from LocalStreams::Deliver, as a descriptor's from the loop.
    using LocalDialer = std::function<LocalEnd*(const std::string& address, int32_t port)>;
    LocalDialer Dialer;

    // Setting the action to 7 closes the connection (no event follows); other actions do nothing.
    void SetAction(int16_t action);
    // Starts a connection; 0 when the attempt has started, another value when it could not be
    // started: "0.0.0.0", an empty or non-dotted address, a port outside 1 to 65535 or a
    // property the socket cannot take. No connection and no event follow then.
    int32_t Connect();
    // Ends any connection or attempt and frees the socket; unsent bytes are dropped.
    void Release();

    // Writes up to length bytes of buffer; returns the count accepted (also in BytesSent).
    // Faults (24057) when the socket is not connected and on a broken connection.
    // With KeepUnsentRest the whole length is accepted and whatever the kernel does not take now
    // goes out, in order, when the socket is writable again; when that rest grows past
    // MaxUnsentRest the peer has stopped reading: the write faults and the connection is dropped
    // (a disconnect event follows).
    int32_t Write(const std::string& buffer, int32_t length);
    // Reads up to maxLength bytes into buffer (replacing its contents); returns the count read,
    // below 1 when none. LastError tells why: 24035 means no more data waiting; any other code
    // is a real failure or the peer's end of stream.
    int32_t Read(std::string& buffer, int32_t maxLength);

    int32_t LastError() const { return lastError_; }
    // Connected, nothing unsent waiting, and the kernel takes more bytes now.
    bool IsWritable() const;
    int32_t BytesSent() const { return bytesSent_; }
    bool IsConnected() const;
    bool IsConnecting() const;
    // Bytes accepted by Write and not yet handed to the kernel.
    size_t UnsentBytes() const;

    // Link sockets keep what a write could not send and send it, in order, when the socket is
    // writable again, so a frame is never cut; the message socket reports the true count.
    bool KeepUnsentRest = false;
    size_t MaxUnsentRest = 256 * 1024;

  private:
    struct Impl;  // descriptor, loop watch, connection state, unsent rest
    void OnReady(unsigned ready);
    void OnLocalReady();
    void FlushRest();
    void Drop();  // closes and raises the disconnect event
    void UpdateWatchMask();
    EventLoop& loop_;
    std::unique_ptr<Impl> impl_;
    int32_t lastError_ = 0;
    int32_t bytesSent_ = 0;
};

// Releases s, sets it up the way every connection of the engine is set up (Internet, protocol
// 0, stream, bytes unchanged, non-blocking, buffer 32767, no keep-alive, then address and port)
// and starts a connection. When the attempt cannot start, the socket is closed and released.
// Returns the result of Connect (0 when the attempt has started).
int32_t StartConnection(SocketWrench& s, const std::string& address, int32_t port);

}  // namespace qtx
