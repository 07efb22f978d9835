#pragma once
// The event loop seam: one periodic timer source, readiness watches on file descriptors, and a
// non-blocking pump. Everything runs on the one thread that owns the loop.
#include <cstdint>
#include <functional>

namespace qtx {

class EventLoop {
  public:
    enum : unsigned { Readable = 1u, Writable = 2u };
    using TimerId = int64_t;
    using WatchId = int64_t;
    using TimerCallback = std::function<void()>;
    // Gets the readiness that occurred (Readable, Writable, or both; errors and hang-ups are
    // reported as Readable so a read finds them).
    using WatchCallback = std::function<void(unsigned ready)>;

    virtual ~EventLoop() = default;

    // A timer firing every periodMs. With phaseMs >= 0 its firings are aligned to the wall
    // clock: they fall phaseMs after each multiple of periodMs within the second.
    virtual TimerId AddTimer(int periodMs, int phaseMs, TimerCallback cb) = 0;
    virtual void DeleteTimer(TimerId id) = 0;

    // Watches fd for the readiness in mask (Readable | Writable).
    virtual WatchId AddWatch(int fd, unsigned mask, WatchCallback cb) = 0;
    virtual void UpdateWatch(WatchId id, unsigned mask) = 0;
    virtual void DeleteWatch(WatchId id) = 0;

    // Handles what is pending now (ready descriptors, due timers) without blocking.
    virtual void Pump() = 0;
};

}  // namespace qtx
