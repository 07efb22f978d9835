// The Qt event loop adapter: wall-clock phase of its timers, descriptor watches, and deletion
// from inside callbacks.
#include <fcntl.h>
#include <unistd.h>

#include <QTest>
#include <chrono>
#include <vector>

#include "qt/QtEventLoop.h"

using namespace qtx;

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { QVERIFY(::pipe2(fd, O_NONBLOCK) == 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
};

}  // namespace

class QtEventLoopTest : public QObject {
    Q_OBJECT
  private slots:
    void delayToNextFiring();
    void timerFiresAtItsPhaseOfTheSecond();
    void deletingFromInsideItsOwnCallback();
    void readinessAndHangUp();
};

void QtEventLoopTest::delayToNextFiring() {
    const int64_t s = 1'700'000'000'000;  // a whole second
    QCOMPARE(QtEventLoop::DelayToNextFiring(s, 500, 5), int64_t(5));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 5, 500, 5), int64_t(500));  // never 0
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 999, 500, 5), int64_t(6));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 1700, 500, 5), int64_t(305));  // late: next slot
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 100, 500, 505), int64_t(405));
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 950, 300, 0), int64_t(50));  // restarts each second
    QCOMPARE(QtEventLoop::DelayToNextFiring(s + 100, 300, -1), int64_t(300));
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
        onTime += at[i] % 500 >= 5 && at[i] % 500 < 105;
        if (i > 0)
            QVERIFY(at[i] - at[i - 1] >= 300);
    }
    QVERIFY2(onTime * 2 >= static_cast<int>(at.size()), std::to_string(onTime).c_str());
}

void QtEventLoopTest::deletingFromInsideItsOwnCallback() {
    QtEventLoop loop;
    int fired = 0;
    EventLoop::TimerId tid = -1;
    tid = loop.AddTimer(20, -1, [&] {
        ++fired;
        loop.DeleteTimer(tid);
        loop.DeleteTimer(tid);
    });
    Pipe p;
    QCOMPARE(::write(p.fd[1], "x", 1), ssize_t(1));
    int calls = 0;
    EventLoop::WatchId wid = -1;
    wid = loop.AddWatch(p.fd[0], EventLoop::Readable, [&](unsigned) {
        ++calls;
        loop.DeleteWatch(wid);  // data left unread: only the deletion stops the calls
    });
    QTRY_VERIFY(fired == 1 && calls == 1);
    QTest::qWait(100);
    QCOMPARE(fired, 1);
    QCOMPARE(calls, 1);
    QCOMPARE(loop.TimerCount() + loop.WatchCount(), std::size_t(0));
    // The descriptor can be watched again at once.
    int again = 0;
    loop.AddWatch(p.fd[0], EventLoop::Readable, [&](unsigned) { ++again; });
    for (int i = 0; i < 20 && again == 0; ++i)
        loop.Pump();
    QVERIFY(again > 0);
}

void QtEventLoopTest::readinessAndHangUp() {
    QtEventLoop loop;
    Pipe p;
    std::vector<unsigned> seen;
    loop.AddWatch(p.fd[0], EventLoop::Readable, [&](unsigned ready) {
        seen.push_back(ready);
        char buf[16];
        while (::read(p.fd[0], buf, sizeof buf) > 0) {
        }
    });
    QTest::qWait(50);
    QVERIFY(seen.empty());
    QCOMPARE(::write(p.fd[1], "x", 1), ssize_t(1));
    QTRY_COMPARE(seen, std::vector<unsigned>({EventLoop::Readable}));
    // A closed peer is reported as readable, so the read finds the end.
    ::close(p.fd[1]);
    p.fd[1] = -1;
    QTRY_VERIFY(seen.size() >= 2);
    QCOMPARE(seen.back(), unsigned(EventLoop::Readable));

    Pipe q;
    int writable = 0;
    const auto wid = loop.AddWatch(q.fd[1], 0, [&](unsigned) { ++writable; });
    QTest::qWait(50);
    QCOMPARE(writable, 0);
    loop.UpdateWatch(wid, EventLoop::Writable);
    QTRY_VERIFY(writable > 0);
}

QTEST_MAIN(QtEventLoopTest)
#include "QtEventLoopTest.moc"
