#include "qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>

namespace qtx {

struct QtEventLoop::Timer {
    int PeriodMs = 0;
    int PhaseMs = -1;
    // Shared so a callback that deletes its own timer keeps running on a live copy.
    std::shared_ptr<TimerCallback> Callback;
    std::unique_ptr<QTimer> Source;
};

struct QtEventLoop::Watch {
    unsigned Mask = 0;
    std::shared_ptr<WatchCallback> Callback;
    std::unique_ptr<QSocketNotifier> Read, Write;
};

namespace {

int64_t WallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// A notifier may be deleted while Qt is still delivering its signal: disable it now and let Qt
// delete it when control is back in the loop.
void Retire(std::unique_ptr<QSocketNotifier>& n) {
    if (!n)
        return;
    n->setEnabled(false);
    n.release()->deleteLater();
}

}  // namespace

QtEventLoop::QtEventLoop() = default;

QtEventLoop::~QtEventLoop() {
    for (auto& [id, w] : watches_) {
        Retire(w->Read);
        Retire(w->Write);
    }
}

int64_t QtEventLoop::DelayToNextFiring(int64_t nowMs, int periodMs, int phaseMs) {
    if (periodMs <= 0)
        return 1;
    if (phaseMs < 0)
        return periodMs;
    // Firings fall at phase, phase + period, ... within each second; a period that does not
    // divide the second restarts its pattern at each second.
    const int64_t inSecond = ((nowMs % 1000) + 1000) % 1000;
    const int64_t secondStart = nowMs - inSecond;
    for (int64_t at = phaseMs % periodMs; at < 1000; at += periodMs) {
        if (secondStart + at > nowMs)
            return secondStart + at - nowMs;
    }
    return secondStart + 1000 + phaseMs % periodMs - nowMs;
}

EventLoop::TimerId QtEventLoop::AddTimer(int periodMs, int phaseMs, TimerCallback cb) {
    const TimerId id = nextId_++;
    auto t = std::make_unique<Timer>();
    t->PeriodMs = periodMs;
    t->PhaseMs = phaseMs;
    t->Callback = std::make_shared<TimerCallback>(std::move(cb));
    t->Source = std::make_unique<QTimer>();
    t->Source->setSingleShot(true);
    t->Source->setTimerType(Qt::PreciseTimer);
    connect(t->Source.get(), &QTimer::timeout, this, [this, id] { Fire(id); });
    Arm(*t);
    timers_.emplace(id, std::move(t));
    return id;
}

void QtEventLoop::Arm(Timer& t) {
    // Each firing is re-aimed at the wall clock, so the phase holds however long callbacks run
    // and however the monotonic clock drifts against it.
    t.Source->start(static_cast<int>(DelayToNextFiring(WallClockMs(), t.PeriodMs, t.PhaseMs)));
}

void QtEventLoop::Fire(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    // Re-armed before the callback runs: a callback that pumps the loop while it waits still
    // lets later firings through, as a window timer would.
    Arm(*it->second);
    std::shared_ptr<TimerCallback> cb = it->second->Callback;
    if (*cb)
        (*cb)();
}

void QtEventLoop::DeleteTimer(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    it->second->Source->stop();
    // The QTimer may be the sender of the signal being delivered right now.
    it->second->Source.release()->deleteLater();
    timers_.erase(it);
}

EventLoop::WatchId QtEventLoop::AddWatch(int fd, unsigned mask, WatchCallback cb) {
    const WatchId id = nextId_++;
    auto w = std::make_unique<Watch>();
    w->Callback = std::make_shared<WatchCallback>(std::move(cb));
    w->Read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    w->Write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(w->Read.get(), &QSocketNotifier::activated, this, [this, id] { Ready(id, Readable); });
    connect(w->Write.get(), &QSocketNotifier::activated, this, [this, id] { Ready(id, Writable); });
    // Qt reports errors and hang-ups through the read notifier as well, so a read finds them.
    w->Mask = mask;
    w->Read->setEnabled((mask & Readable) != 0);
    w->Write->setEnabled((mask & Writable) != 0);
    watches_.emplace(id, std::move(w));
    return id;
}

void QtEventLoop::UpdateWatch(WatchId id, unsigned mask) {
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    it->second->Mask = mask;
    it->second->Read->setEnabled((mask & Readable) != 0);
    it->second->Write->setEnabled((mask & Writable) != 0);
}

void QtEventLoop::DeleteWatch(WatchId id) {
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    Retire(it->second->Read);
    Retire(it->second->Write);
    watches_.erase(it);
}

void QtEventLoop::Ready(WatchId id, unsigned ready) {
    auto it = watches_.find(id);
    if (it == watches_.end() || (it->second->Mask & ready) == 0)
        return;
    std::shared_ptr<WatchCallback> cb = it->second->Callback;
    if (*cb)
        (*cb)(ready);
}

void QtEventLoop::Pump() {
    // Mouse and key input stay queued: an operator command must not start inside a wait.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace qtx
