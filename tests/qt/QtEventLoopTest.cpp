// The Qt event loop adapter: wall-clock phase of its timers, descriptor watches, safe deletion
// from inside callbacks, and a pump that does not block.
#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <chrono>
#include <vector>

#include "ui/qt/QtEventLoop.h"

using namespace qtx;

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        if (r >= 0)
            ::close(r);
        if (w >= 0)
            ::close(w);
    }
    void CloseWrite() {
        ::close(w);
        w = -1;
    }
};

}  // namespace

class QtEventLoopTest : public QObject {
    Q_OBJECT
  private slots:
    void delayToNextFiring();
    void timerFiresAtItsPhaseOfTheSecond();
    void timerDeletedInsideItsCallback();
    void readableWritableAndHangUp();
    void watchUpdatedAndDeletedInsideCallback();
    void pumpHandlesReadyWatchWithoutBlocking();
};

void QtEventLoopTest::delayToNextFiring() {
    const int64_t s = 1'700'000'000'000;  // a whole second
    QCOMPARE(QtEventLoop::DelayToNextFiring(s, 500, 5), int64_t(5));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 5, 500, 5), int64_t(500));  // never 0
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 6, 500, 5), int64_t(499));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 505, 500, 5), int64_t(500));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 999, 500, 5), int64_t(6));
    // A late firing lands on the next slot, not at once.
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 1700, 500, 5), int64_t(305));
    // Phase larger than the period folds into it.
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 100, 500, 505), int64_t(405));
    // A period that does not divide the second restarts at each second.
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 950, 300, 0), int64_t(50));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 100, 300, -1), int64_t(300));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s, 0, 5), int64_t(1));
}

void QtEventLoopTest::timerFiresAtItsPhaseOfTheSecond() {
    QtEventLoop loop;
    std::vector<int64_t> at;
    loop.AddTimer(500, 5, [&] { at.push_back(NowMs()); });
    QTRY_VERIFY_WITH_TIMEOUT(at.size() >= 6, 6000);
    // A loaded machine may delay a firing, but most land just after their slot, and a late one
    // never brings the next one forward.
    int onTime = 0;
    for (std::size_t i = 0; i < at.size(); ++i) {
        const int64_t inHalf = at[i] % 500;
        if (inHalf >= 5 && inHalf < 5 + 100)
            ++onTime;
        if (i > 0)
            QVERIFY2(at[i] - at[i - 1] >= 300, std::to_string(at[i] - at[i - 1]).c_str());
    }
    QVERIFY2(onTime * 2 >= static_cast<int>(at.size()), std::to_string(onTime).c_str());
}

void QtEventLoopTest::timerDeletedInsideItsCallback() {
    QtEventLoop loop;
    int fired = 0;
    EventLoop::TimerId id = -1;
    id = loop.AddTimer(20, -1, [&] {
        ++fired;
        loop.DeleteTimer(id);
        loop.DeleteTimer(id);  // twice is harmless
    });
    QTRY_COMPARE(fired, 1);
    QTest::qWait(100);
    QCOMPARE(fired, 1);
    QCOMPARE(loop.TimerCount(), std::size_t(0));
}

void QtEventLoopTest::readableWritableAndHangUp() {
    QtEventLoop loop;
    Pipe p;
    QVERIFY(p.r >= 0);
    std::vector<unsigned> seen;
    const auto rid = loop.AddWatch(p.r, EventLoop::Readable, [&](unsigned ready) {
        seen.push_back(ready);
        char buf[16];
        while (::read(p.r, buf, sizeof buf) > 0) {
        }
    });
    QTest::qWait(50);
    QVERIFY(seen.empty());
    QCOMPARE(::write(p.w, "x", 1), ssize_t(1));
    QTRY_COMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0], unsigned(EventLoop::Readable));

    // A closed peer is reported as readable, so the read finds the end.
    p.CloseWrite();
    QTRY_VERIFY(seen.size() >= 2);
    QCOMPARE(seen.back(), unsigned(EventLoop::Readable));
    loop.DeleteWatch(rid);

    Pipe q;
    int writable = 0;
    const auto wid = loop.AddWatch(q.w, 0, [&](unsigned ready) {
        QCOMPARE(ready, unsigned(EventLoop::Writable));
        ++writable;
    });
    QTest::qWait(50);
    QCOMPARE(writable, 0);
    loop.UpdateWatch(wid, EventLoop::Writable);
    QTRY_VERIFY(writable > 0);
    loop.UpdateWatch(wid, 0);
    const int stopped = writable;
    QTest::qWait(50);
    QCOMPARE(writable, stopped);
}

void QtEventLoopTest::watchUpdatedAndDeletedInsideCallback() {
    QtEventLoop loop;
    Pipe p;
    QCOMPARE(::write(p.w, "x", 1), ssize_t(1));
    int calls = 0;
    EventLoop::WatchId id = -1;
    id = loop.AddWatch(p.r, EventLoop::Readable, [&](unsigned) {
        ++calls;
        loop.DeleteWatch(id);  // data left unread: only deletion stops the calls
    });
    QTRY_COMPARE(calls, 1);
    QTest::qWait(80);
    QCOMPARE(calls, 1);
    QCOMPARE(loop.WatchCount(), std::size_t(0));
    // The descriptor can be watched again at once.
    int again = 0;
    loop.AddWatch(p.r, EventLoop::Readable, [&](unsigned) { ++again; });
    QTRY_VERIFY(again > 0);
}

void QtEventLoopTest::pumpHandlesReadyWatchWithoutBlocking() {
    QtEventLoop loop;
    Pipe p;
    int calls = 0;
    loop.AddWatch(p.r, EventLoop::Readable, [&](unsigned) {
        char c;
        while (::read(p.r, &c, 1) > 0) {
        }
        ++calls;
    });
    QElapsedTimer t;
    t.start();
    loop.Pump();
    QVERIFY(t.elapsed() < 100);
    QCOMPARE(calls, 0);
    QCOMPARE(::write(p.w, "x", 1), ssize_t(1));
    for (int i = 0; i < 20 && calls == 0; ++i)
        loop.Pump();
    QCOMPARE(calls, 1);
}

QTEST_MAIN(QtEventLoopTest)
#include "QtEventLoopTest.moc"
