#pragma once
// The event loop of the headless engine, the simulator and the tests: poll(2) over the watched
// descriptors, timers kept in a small table, and a wake-up pipe so Stop() works from a signal
// handler. Callbacks may add and delete watches and timers, and may call Pump() again.
// Timers aligned to the wall clock are timerfds armed at an absolute wall-clock instant, so they
// fire within microseconds of it, and are cancelled by the kernel when the clock is set: a step
// of the clock either way re-aligns them at once instead of stalling them. Other timers run on
// the monotonic clock.
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>

#include "common/EventLoop.h"

namespace qtx {

class PollEventLoop : public EventLoop {
  public:
    PollEventLoop();
    ~PollEventLoop() override;
    PollEventLoop(const PollEventLoop&) = delete;
    PollEventLoop& operator=(const PollEventLoop&) = delete;

    TimerId AddTimer(int periodMs, int phaseMs, TimerCallback cb) override;
    void DeleteTimer(TimerId id) override;
    WatchId AddWatch(int fd, unsigned mask, WatchCallback cb) override;
    void UpdateWatch(WatchId id, unsigned mask) override;
    void DeleteWatch(WatchId id) override;
    void Pump() override;

    // Waits up to maxWaitMs (or the next timer, whichever is sooner) and handles what is ready.
    void RunOnce(int maxWaitMs);
    // Handles events until Stop() is called.
    void Run();
    // Handles events until done() holds or timeoutMs has passed; returns done().
    bool RunUntil(const std::function<bool()>& done, int timeoutMs);
    // Handles events for about ms milliseconds.
    void RunFor(int ms);
    // Ends Run(). Safe to call from a signal handler.
    void Stop();

  private:
    struct Timer {
        int periodMs;          // time between firings
        int phaseMs;           // offset within the second, or -1 for no alignment
        int64_t dueMs;         // next firing (monotonic); unused for aligned timers
        int fd = -1;           // aligned timers: a wall-clock timerfd armed at the next firing
        bool expired = false;  // aligned timers: the timerfd fired (or the clock was set)
        TimerCallback cb;      // what to run
    };
    struct Watch {
        int fd;            // descriptor watched
        unsigned mask;     // Readable | Writable
        WatchCallback cb;  // what to run when ready
    };

    void Wait(int timeoutMs);
    void RunDueTimers();
    int MsToNextTimer();
    static int64_t NextAligned(int64_t nowMs, int periodMs, int phaseMs);
    static void ArmAligned(Timer& t);
    void CloseTimer(Timer& t);

    std::map<TimerId, Timer> timers_;
    std::map<WatchId, Watch> watches_;
    int64_t nextId_ = 1;
    int wakeRead_ = -1;   // read end of the wake-up pipe
    int wakeWrite_ = -1;  // write end, written by Stop()
    volatile std::sig_atomic_t stopRequested_ = 0;
};

}  // namespace qtx
