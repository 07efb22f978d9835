#include "common/PollEventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace qtx {

namespace {

int64_t NowMs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

PollEventLoop::PollEventLoop() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
}

PollEventLoop::~PollEventLoop() {
    for (auto& [id, t] : timers_)
        CloseTimer(t);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void PollEventLoop::CloseTimer(Timer& t) {
    if (t.fd >= 0)
        ::close(t.fd);
    t.fd = -1;
}

void PollEventLoop::ArmAligned(Timer& t) {
    // Armed on the wall clock at the next aligned instant after now; the kernel cancels the
    // timer when the clock is set, which the loop takes as a firing (and re-arms from there).
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    const int64_t due = NextAligned(nowMs, t.periodMs, t.phaseMs);
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(due / 1000);
    spec.it_value.tv_nsec = static_cast<long>((due % 1000) * 1000000);
    ::timerfd_settime(t.fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
    t.expired = false;
}

int64_t PollEventLoop::NextAligned(int64_t nowMs, int periodMs, int phaseMs) {
    // The firings are phaseMs after each multiple of periodMs within each wall-clock second.
    const int64_t second = nowMs - (nowMs % 1000);
    for (int64_t base = second - 1000; base <= second + 1000; base += 1000) {
        for (int64_t slot = 0; slot < 1000; slot += periodMs) {
            const int64_t t = base + slot + phaseMs;
            if (t > nowMs)
                return t;
        }
    }
    return nowMs + periodMs;
}

EventLoop::TimerId PollEventLoop::AddTimer(int periodMs, int phaseMs, TimerCallback cb) {
    if (periodMs < 1)
        periodMs = 1;
    if (phaseMs >= 0)
        phaseMs %= 1000;
    else
        phaseMs = -1;
    const TimerId id = nextId_++;
    Timer t{periodMs, phaseMs, NowMs(CLOCK_MONOTONIC) + periodMs, -1, false, std::move(cb)};
    if (phaseMs >= 0) {
        t.fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (t.fd < 0)
            throw std::runtime_error("timerfd_create failed");
        ArmAligned(t);
    }
    timers_.emplace(id, std::move(t));
    return id;
}

void PollEventLoop::DeleteTimer(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    CloseTimer(it->second);
    timers_.erase(it);
}

EventLoop::WatchId PollEventLoop::AddWatch(int fd, unsigned mask, WatchCallback cb) {
    const WatchId id = nextId_++;
    watches_.emplace(id, Watch{fd, mask, std::move(cb)});
    return id;
}

void PollEventLoop::UpdateWatch(WatchId id, unsigned mask) {
    auto it = watches_.find(id);
    if (it != watches_.end())
        it->second.mask = mask;
}

void PollEventLoop::DeleteWatch(WatchId id) {
    watches_.erase(id);
}

int PollEventLoop::MsToNextTimer() {
    // Aligned timers wake the poll through their descriptors; only the others set a timeout.
    int best = -1;
    for (const auto& [id, t] : timers_) {
        if (t.fd >= 0) {
            if (t.expired)
                return 0;
            continue;
        }
        int64_t wait = t.dueMs - NowMs(CLOCK_MONOTONIC);
        if (wait < 0)
            wait = 0;
        if (best < 0 || wait < best)
            best = static_cast<int>(wait);
    }
    return best;
}

void PollEventLoop::Wait(int timeoutMs) {
    // A pump with nothing watched has nothing to learn from poll(2): the wake-up pipe matters
    // only to a loop that waits, and the next wait drains it.
    if (timeoutMs == 0 && watches_.empty() &&
        std::none_of(timers_.begin(), timers_.end(),
                     [](const auto& t) { return t.second.fd >= 0; }))
        return;
    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    fds.push_back({wakeRead_, POLLIN, 0});
    ids.push_back(0);
    std::vector<TimerId> timerIds;
    for (const auto& [id, t] : timers_) {
        if (t.fd >= 0) {
            fds.push_back({t.fd, POLLIN, 0});
            timerIds.push_back(id);
        }
    }
    const size_t firstWatch = fds.size();
    for (const auto& [id, w] : watches_) {
        short events = 0;
        if (w.mask & Readable)
            events |= POLLIN;
        if (w.mask & Writable)
            events |= POLLOUT;
        fds.push_back({w.fd, events, 0});
        ids.push_back(id);
    }
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0)
        return;  // timeout, or EINTR: the caller's loop comes round again
    if (fds[0].revents & POLLIN) {
        char drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
    }
    for (size_t i = 1; i < firstWatch; ++i) {
        if (fds[i].revents == 0)
            continue;
        auto it = timers_.find(timerIds[i - 1]);
        if (it == timers_.end())
            continue;
        // A firing, or ECANCELED when the wall clock was set: either way the timer is due now.
        uint64_t count = 0;
        const ssize_t n = ::read(it->second.fd, &count, sizeof count);
        if (n == static_cast<ssize_t>(sizeof count) || (n < 0 && errno == ECANCELED))
            it->second.expired = true;
    }
    for (size_t i = firstWatch; i < fds.size(); ++i) {
        const short r = fds[i].revents;
        if (r == 0)
            continue;
        // The watch may have gone or changed in an earlier callback of this round.
        auto it = watches_.find(ids[i - firstWatch + 1]);
        if (it == watches_.end())
            continue;
        unsigned ready = 0;
        if (r & (POLLIN | POLLERR | POLLHUP | POLLNVAL))
            ready |= Readable;
        if (r & POLLOUT)
            ready |= Writable;
        ready &= it->second.mask | Readable;
        if (ready == 0)
            continue;
        WatchCallback cb = it->second.cb;  // a copy: the callback may delete its own watch
        cb(ready);
    }
}

void PollEventLoop::RunDueTimers() {
    std::vector<TimerId> due;
    const int64_t nowMono = NowMs(CLOCK_MONOTONIC);
    for (const auto& [id, t] : timers_) {
        if (t.fd >= 0 ? t.expired : nowMono >= t.dueMs)
            due.push_back(id);
    }
    for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end())
            continue;
        Timer& t = it->second;
        // The next firing is fixed before the callback runs, so a Pump() inside it does not
        // fire the same timer again; firings missed while busy are not made up.
        if (t.fd >= 0)
            ArmAligned(t);
        else
            t.dueMs = NowMs(CLOCK_MONOTONIC) + t.periodMs;
        TimerCallback cb = t.cb;
        cb();
    }
}

void PollEventLoop::Pump() {
    Wait(0);
    RunDueTimers();
}

void PollEventLoop::RunOnce(int maxWaitMs) {
    int timeout = MsToNextTimer();
    if (timeout < 0 || (maxWaitMs >= 0 && maxWaitMs < timeout))
        timeout = maxWaitMs;
    Wait(timeout);
    RunDueTimers();
}

void PollEventLoop::Run() {
    stopRequested_ = 0;
    while (!stopRequested_)
        RunOnce(-1);
}

bool PollEventLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    const int64_t end = NowMs(CLOCK_MONOTONIC) + timeoutMs;
    while (!done()) {
        const int64_t left = end - NowMs(CLOCK_MONOTONIC);
        if (left <= 0)
            return done();
        RunOnce(static_cast<int>(left < 10 ? left : 10));
    }
    return true;
}

void PollEventLoop::RunFor(int ms) {
    RunUntil([] { return false; }, ms);
}

void PollEventLoop::Stop() {
    stopRequested_ = 1;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &c, 1);
}

}  // namespace qtx
