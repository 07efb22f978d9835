#include "common/Clock.h"

#include "common/LocalTime.h"

#include <ctime>
#include <thread>

namespace qtx {

LocalDateTime SystemClock::Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return LocalTimeAt(int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000);
}

uint32_t SystemClock::TickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SystemClock::SleepMs(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SystemClock::WaitWhileSecondIs(TimeOfDay t) {
    // At most about a second; polls the clock every millisecond.
    for (int i = 0; i < 1500 && Now().SecondsOfDay() == t; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FakeClock::SleepMs(int ms) {
    Advance(ms);
    if (realSleep_ && ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void FakeClock::WaitWhileSecondIs(TimeOfDay t) {
    ++waits_;
    if (Now().SecondsOfDay() != t)
        return;
    const int64_t intoSecond = ((nowMs_ % 1000) + 1000) % 1000;
    Advance(1000 - intoSecond);
}

}  // namespace qtx
