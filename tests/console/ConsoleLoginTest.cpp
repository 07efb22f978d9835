// Logins against the real qtx-console, from several loopback source addresses standing in for
// several clients: the per-address throttle holds under concurrency, one address's failures
// never hold back another's login, the window runs on the console's clock, and a user name
// longer than any account's is refused before anything is kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/Limits.h"
#include "console/ConsoleFixture.h"
#include "fixtures/Sanitizer.h"

namespace qtx::test {
namespace {

using nlohmann::json;

class ConsoleLogin : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override {
        AddUsers({"admin"});
        StartConsoleOnMovableClock();
    }
    // A login from a loopback address standing in for a client of its own; status 0 unanswered.
    HttpAnswer Login(const std::string& from, const std::string& user,
                     const std::string& password) {
        HttpClient http("127.0.0.1", Port());
        http.set_interface(from);
        // Generous: a listener with a short backlog answers a burst's last connections late.
        http.set_read_timeout(60, 0);
        HttpResult r = http.Post("/api/login", json{{"user", user}, {"password", password}}.dump(),
                                 "application/json");
        return r ? *r : HttpAnswer{};
    }
    int FailedInAudit() {
        int failed = 0;
        for (const json& line : Audit())
            failed += line["action"] == "login-failed";
        return failed;
    }
};

TEST_F(ConsoleLogin, ABurstOfGuessesFromOneAddressChecksAtMostFiveAndHoldsBackNoOther) {
    const int64_t checksBefore = Metric("qtx_console_password_checks_total");
    ASSERT_GE(checksBefore, 0);
    constexpr int kBurst = 90;
    std::vector<HttpAnswer> replies(kBurst);
    std::vector<std::thread> clients;
    for (int i = 0; i < kBurst; ++i)
        clients.emplace_back(
            [&, i] { replies[i] = Login("127.0.0.5", "admin", "guess " + std::to_string(i)); });
    for (std::thread& t : clients)
        t.join();
    // Connections past the per-address cap are closed unanswered; every other guess is either
    // checked (401) or throttled (429) without being checked.
    int wrong = 0, throttled = 0, capped = 0;
    for (const HttpAnswer& r : replies) {
        EXPECT_TRUE(r.status == 401 || r.status == 429 || r.status == 0)
            << r.status << " " << r.body;
        wrong += r.status == 401;
        capped += r.status == 0;
        if (r.status == 429) {
            ++throttled;
            int retry = std::atoi(r.get_header_value("Retry-After").c_str());
            EXPECT_GE(retry, 1);
            EXPECT_LE(retry, 60);
        }
    }
    EXPECT_LE(capped, kBurst - limits::ConsoleMaxConnectionsPerAddress);
    EXPECT_EQ(wrong, limits::LoginChecksPerWindow);
    EXPECT_EQ(throttled, kBurst - capped - limits::LoginChecksPerWindow);
    EXPECT_EQ(Metric("qtx_console_password_checks_total") - checksBefore,
              limits::LoginChecksPerWindow);
    EXPECT_EQ(Metric("qtx_console_logins_throttled_total"), throttled);
    EXPECT_EQ(FailedInAudit(), limits::LoginChecksPerWindow);
    // The flooding address is out of checks, even with the right password, while the account's
    // owner elsewhere logs in.
    EXPECT_EQ(Login("127.0.0.5", "admin", kPassword).status, 429);
    HttpAnswer owner = Login("127.0.0.6", "admin", kPassword);
    EXPECT_EQ(owner.status, 200) << owner.body;
    EXPECT_NE(owner.get_header_value("Set-Cookie").find("qtx_session="), std::string::npos);
}

TEST_F(ConsoleLogin, TheWindowIsASlidingMinuteOnTheConsolesClock) {
    for (int i = 0; i < limits::LoginChecksPerWindow; ++i) {
        MoveClock(i * 10000);  // one a ten seconds: at 0, 10, ..., 40 s
        EXPECT_EQ(Login("127.0.0.7", "admin", "wrong").status, 401);
    }
    HttpAnswer refused = Login("127.0.0.7", "admin", kPassword);
    ASSERT_EQ(refused.status, 429);
    // The first check leaves the window at 60 s: 20 s from now, less the real time the checks took.
    int retry = std::atoi(refused.get_header_value("Retry-After").c_str());
    EXPECT_GE(retry, 18);
    EXPECT_LE(retry, 20);
    MoveClock(60500);  // one check has left the window: one login may be tried
    EXPECT_EQ(Login("127.0.0.7", "admin", kPassword).status, 200);
    EXPECT_EQ(Login("127.0.0.7", "admin", kPassword).status, 429);
}

TEST_F(ConsoleLogin, AUserNameLongerThanAnyAccountsIsRefusedAndNotKept) {
    // At the limit the name is checked like any other; one past it is refused at once.
    EXPECT_EQ(Login("127.0.0.8", std::string(limits::MaxUserName, 'a'), kPassword).status, 401);
    EXPECT_EQ(Login("127.0.0.8", std::string(limits::MaxUserName + 1, 'a'), kPassword).status, 400);
    // Clients, each with a name of its own just under the body limit. The first round lets the
    // server's threads take the memory a request needs; after it the console must not grow with
    // the number of names it was sent.
    constexpr size_t kNameBytes = 60000;
    auto round = [&](int first, int count) {
        int refused = 0;
        for (int i = first; i < first + count; ++i) {
            std::string from =
                "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
            refused +=
                Login(from, std::to_string(i) + std::string(kNameBytes, 'x'), kPassword).status ==
                400;
        }
        return refused;
    };
    EXPECT_EQ(round(0, 200), 200);
    const int64_t before = MemoryKiB("VmRSS:");
    ASSERT_GT(before, 0);
    EXPECT_EQ(round(200, 400), 400);
    const int64_t grown = MemoryKiB("VmRSS:") - before;
    if (test::MemoryIsMeasurable) {
        EXPECT_LT(grown, 4 * 1024) << "the console grew by " << grown << " KiB for "
                                   << 400 * kNameBytes / 1024 << " KiB of names";
    }
    EXPECT_EQ(FailedInAudit(), 1);  // only the name at the limit
    EXPECT_EQ(Login("127.0.0.9", "admin", kPassword).status, 200);
}

}  // namespace
}  // namespace qtx::test
