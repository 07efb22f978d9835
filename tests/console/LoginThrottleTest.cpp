// The per-address login throttle on its own: a sliding window of checks per address, addresses
// apart, a tick counter that wraps, and a bounded table.
#include "console/LoginThrottle.h"

#include <gtest/gtest.h>

#include "common/Limits.h"

namespace qtx::console {
namespace {

constexpr int kChecks = limits::LoginChecksPerWindow;
constexpr uint32_t kWindow = static_cast<uint32_t>(limits::LoginWindowMs);

TEST(LoginThrottle, EachAddressHasItsChecksInASlidingWindow) {
    struct Case {
        const char* Name;
        uint32_t Start;  // the tick counter at the first check; near 2^32 it wraps during the case
    };
    for (const Case& c :
         {Case{"from zero", 0}, Case{"across the counter's wrap", 0xFFFFFFFFu - 30000}}) {
        SCOPED_TRACE(c.Name);
        LoginThrottle throttle;
        for (int i = 0; i < kChecks; ++i)
            EXPECT_TRUE(throttle.TryAcquire("127.0.0.5", c.Start + i * 1000u).Allowed);
        LoginAdmission refused = throttle.TryAcquire("127.0.0.5", c.Start + 10000u);
        EXPECT_FALSE(refused.Allowed);
        EXPECT_EQ(refused.RetryAfterSeconds, 50);
        EXPECT_TRUE(throttle.TryAcquire("127.0.0.6", c.Start + 10000u).Allowed);
        EXPECT_FALSE(throttle.TryAcquire("127.0.0.5", c.Start + kWindow - 1).Allowed);
        EXPECT_EQ(throttle.TryAcquire("127.0.0.5", c.Start + kWindow - 1).RetryAfterSeconds, 1);
        EXPECT_TRUE(throttle.TryAcquire("127.0.0.5", c.Start + kWindow).Allowed);
        EXPECT_FALSE(throttle.TryAcquire("127.0.0.5", c.Start + kWindow).Allowed);
        EXPECT_EQ(throttle.Refused(), 4u);
    }
}

TEST(LoginThrottle, TheTableHoldsAtMostItsLimitAndForgetsQuietAddresses) {
    LoginThrottle throttle;
    auto address = [](size_t i) {
        return "127.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    };
    for (size_t i = 0; i < limits::LoginThrottleAddresses; ++i)
        ASSERT_TRUE(throttle.TryAcquire(address(i), 1000).Allowed);
    LoginAdmission full = throttle.TryAcquire("127.0.0.5", 2000);
    EXPECT_FALSE(full.Allowed);
    EXPECT_EQ(full.RetryAfterSeconds, 59);
    EXPECT_TRUE(throttle.TryAcquire(address(0), 2000).Allowed);  // a known address goes on
    EXPECT_EQ(throttle.Addresses(), limits::LoginThrottleAddresses);
    EXPECT_TRUE(throttle.TryAcquire("127.0.0.5", 1000 + kWindow).Allowed);
    EXPECT_EQ(throttle.Addresses(),
              2u);  // the quiet ones are gone, address(0) and the new one stay
}

}  // namespace
}  // namespace qtx::console
