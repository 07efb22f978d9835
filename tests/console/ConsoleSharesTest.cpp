// Each account's share of the real qtx-console: sessions, status streams and previews are counted
// per account, so that one account at its limit leaves the others theirs.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/Limits.h"
#include "console/ConsoleFixture.h"
#include "fixtures/Sanitizer.h"

namespace qtx::test {
namespace {

using nlohmann::json;

class ConsoleShares : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override {
        AddUser("alice", "viewer");
        AddUser("bob", "viewer");
        StartConsole();
    }
    // A logged-in client; logins come from several addresses, so the login throttle (per
    // address) stays out of the way.
    std::unique_ptr<ApiClient> LoginAs(const std::string& user) {
        auto c = std::make_unique<ApiClient>(Port());
        c->From("127.0.0." + std::to_string(10 + logins_++ / 4));
        EXPECT_EQ(c->Login(user, kPassword)->status, 200);
        return c;
    }

    int logins_ = 0;
};

TEST_F(ConsoleShares, AnAccountsFifthStreamIsRefusedWhileAnotherAccountGetsOne) {
    auto alice = LoginAs("alice");
    auto bob = LoginAs("bob");
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 0; i < limits::StreamsPerAccount; ++i) {
        streams.push_back(std::make_unique<Stream>(Port(), alice->Cookie()));
        ASSERT_TRUE(streams.back()->Opened()) << i;
    }
    Stream fifth(Port(), alice->Cookie());
    EXPECT_FALSE(fifth.Opened());
    EXPECT_EQ(fifth.status, 429);
    EXPECT_NE(fifth.received.find("4 status streams"), std::string::npos) << fifth.received;
    Stream bobs(Port(), bob->Cookie());
    EXPECT_TRUE(bobs.Opened());
}

// A further login ends the account's least recently used session; other accounts keep theirs.
TEST_F(ConsoleShares, ANinthLoginEndsTheAccountsLeastRecentlyUsedSession) {
    auto bob = LoginAs("bob");
    std::vector<std::unique_ptr<ApiClient>> alice;
    for (size_t i = 0; i <= limits::SessionsPerAccount; ++i)
        alice.push_back(LoginAs("alice"));
    EXPECT_EQ(alice[0]->Send("GET", "/api/session")->status, 401);
    for (size_t i = 1; i < alice.size(); ++i)
        EXPECT_EQ(alice[i]->Send("GET", "/api/session")->status, 200) << i;
    EXPECT_EQ(bob->Send("GET", "/api/session")->status, 200);
}

// Sixteen month-long previews at once by one viewer: one runs (within its bound of runs: a full
// file's month is refused as too long) while the others are refused at once, another account's
// preview runs meanwhile, and the console stays small.
TEST_F(ConsoleShares, OnePreviewAtATimePerAccountWithinBoundedMemory) {
    RunSql(Db(),
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32767) "
           "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, "
           "DestChan) SELECT i, i % 7, printf('%02d:%02d:%02d', i % 24, i % 60, i % 59), "
           "'Event number ' || i, 1, 1, 1 + i % 16, 1 + i % 8 FROM n");
    auto alice = LoginAs("alice");
    auto bob = LoginAs("bob");
    std::vector<std::future<int>> answers;
    const std::string cookie = alice->Cookie();
    for (int i = 0; i < 16; ++i)
        answers.push_back(std::async(std::launch::async, [&] {
            HttpClient http("127.0.0.1", Port());
            http.set_read_timeout(240, 0);
            HttpResult r =
                http.Get("/api/preview?from=2026-12-07%2000:00:00&days=31", {{"Cookie", cookie}});
            return r ? r->status : -1;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto bobs = bob->Send("GET", "/api/preview?from=2026-12-07%2000:00:00&days=1");
    EXPECT_EQ(bobs->status, 200) << bobs->body.substr(0, 200);
    std::map<int, int> statuses;
    for (auto& a : answers)
        ++statuses[a.get()];
    EXPECT_GE(statuses[429], 8);
    EXPECT_EQ(statuses[429] + statuses[422], 16);  // the month of a full file is refused
    if (MemoryIsMeasurable) {
        EXPECT_LT(MemoryKiB(), 256 * 1024);
    }
}

}  // namespace
}  // namespace qtx::test
