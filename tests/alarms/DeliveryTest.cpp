// Alarms raised and cleared, and their delivery to real webhook receivers on 127.0.0.1: the
// body and its signature, routes that refuse, stall or answer 500 beside one that works, a
// burst, retries and the drop after ten minutes on a moved clock, and a stop with alarms queued.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "alarms/AlarmBook.h"
#include "alarms/Delivery.h"
#include "alarms/Webhook.h"
#include "tests/alarms/WebhookReceiver.h"

namespace qtx::test {
namespace {

using namespace alarms;

AlarmRoute Hook(const std::string& url, const std::string& secret = "") {
    AlarmRoute r;
    r.Type = RouteType::Webhook;
    r.Target = url;
    r.Secret = secret;
    return r;
}

class Alarms : public ::testing::Test {
  protected:
    Alarms() : clock_(LocalDateTime{2026, 12, 7, 6, 0, 1, 12}), book_(clock_, "host:/opt/qtx/") {}
    Alarm Raise(int n) {
        return *book_.Raise(AlarmKind::TakeNotConfirmed, "run " + std::to_string(n),
                            "take " + std::to_string(n) + " not confirmed", AlarmEvent{n, "Feed"},
                            0);
    }
    DeliveryOptions Quick() {
        DeliveryOptions o;
        o.AttemptTimeoutMs = 300;
        o.ConnectTimeoutMs = 300;
        return o;
    }
    FakeClock clock_;
    AlarmBook book_;
    std::vector<std::string> errors_;
    std::mutex errorsMutex_;
    AlarmDelivery::ErrorLog Errors() {
        return [this](const std::string& where, const std::string& text) {
            std::lock_guard<std::mutex> lock(errorsMutex_);
            errors_.push_back(where + ": " + text);
        };
    }
    size_t ErrorCount() {
        std::lock_guard<std::mutex> lock(errorsMutex_);
        return errors_.size();
    }
};

TEST_F(Alarms, RaisedOnceClearedWithTheSameIdAndHowLongItLasted) {
    auto up = book_.Raise(AlarmKind::LinkDown, "link 0", "link 0 down", std::nullopt, 0);
    ASSERT_TRUE(up);
    EXPECT_FALSE(book_.Raise(AlarmKind::LinkDown, "link 0", "again"));
    EXPECT_TRUE(book_.Raise(AlarmKind::LinkDown, "link 1", "other link"));
    EXPECT_TRUE(book_.Raise(AlarmKind::EventRefused, "link 0", "another kind"));
    clock_.Advance(12500);
    auto down = book_.Clear(AlarmKind::LinkDown, "link 0");
    ASSERT_TRUE(down);
    EXPECT_EQ(down->Id, up->Id);
    EXPECT_FALSE(book_.Clear(AlarmKind::LinkDown, "link 0"));
    EXPECT_EQ(book_.Active().size(), 2u);
    const auto j = nlohmann::json::parse(AlarmJson(*down));
    EXPECT_EQ(j["state"], "cleared");
    EXPECT_EQ(j["severity"], "critical");
    EXPECT_DOUBLE_EQ(j["lasted_s"].get<double>(), 12.5);
    EXPECT_EQ(j["link"], 0);
    EXPECT_FALSE(j.contains("event"));
    EXPECT_FALSE(nlohmann::json::parse(AlarmJson(*up)).contains("lasted_s"));
    // Raised again after the clear: a new alarm with a new id.
    auto again = book_.Raise(AlarmKind::LinkDown, "link 0", "down again");
    ASSERT_TRUE(again);
    EXPECT_NE(again->Id, up->Id);
}

TEST_F(Alarms, KindsCarryTheirSeverityAndTheTimeItsOffset) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"take-not-confirmed", "major"},    {"link-down", "critical"},
        {"event-refused", "minor"},         {"error-logged", "minor"},
        {"engine-not-running", "critical"}, {"no-leader", "critical"},
        {"edit-overwritten", "warning"},    {"test", "warning"}};
    ASSERT_EQ(AllKinds().size(), table.size());
    for (const auto& [name, severity] : table) {
        const auto k = ParseKind(name);
        ASSERT_TRUE(k) << name;
        EXPECT_EQ(KindName(*k), name);
        EXPECT_EQ(SeverityName(SeverityOf(*k)), severity) << name;
    }
    EXPECT_FALSE(ParseKind("Link-Down"));
    EXPECT_EQ(FormatAlarmTime(1796623201012, 0), "2026-12-07T06:00:01.012+00:00");
    EXPECT_EQ(FormatAlarmTime(1796623201012, -330), "2026-12-07T00:30:01.012-05:30");
    EXPECT_EQ(FormatAlarmTime(-1, 0), "1969-12-31T23:59:59.999+00:00");
}

TEST_F(Alarms, TheWebhookGetsOneAlarmAsJsonSignedWithTheRouteSecret) {
    WebhookReceiver signedOne(WebhookReceiver::Mode::Ok), plain(WebhookReceiver::Mode::Ok);
    AlarmRoute onlyLinks = Hook(plain.Url());
    onlyLinks.Kinds = {AlarmKind::LinkDown};
    {
        AlarmDelivery d({Hook(signedOne.Url(), "k\xc3\xa9y with spaces"), onlyLinks}, clock_,
                        Errors(), Quick());
        const Alarm a = Raise(100);
        d.Submit(a);
        d.Submit(*book_.Raise(AlarmKind::LinkDown, "link 1", "link 1 down", std::nullopt, 1));
        ASSERT_TRUE(signedOne.WaitFor(2));
        ASSERT_TRUE(plain.WaitFor(1));
        ASSERT_TRUE(WaitUntil([&] { return d.Stats()[0].Sent == 2 && d.Stats()[1].Sent == 1; }));
        const auto got = signedOne.Requests();
        EXPECT_EQ(got[0].Body, AlarmJson(a));
        EXPECT_EQ(got[0].Head.substr(0, 11), "POST /hook ");
        EXPECT_EQ(WebhookReceiver::Header(got[0], "Content-Type"), "application/json");
        // The signature, checked with another HMAC implementation.
        const std::string key = "k\xc3\xa9y with spaces";
        unsigned char mac[32];
        unsigned len = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(got[0].Body.data()), got[0].Body.size(), mac,
             &len);
        std::string hex;
        for (unsigned i = 0; i < len; ++i) {
            char b[3];
            std::snprintf(b, sizeof b, "%02x", mac[i]);
            hex += b;
        }
        EXPECT_EQ(WebhookReceiver::Header(got[0], "X-QTX-Signature"), "sha256=" + hex);
        const auto j = nlohmann::json::parse(got[0].Body);
        EXPECT_EQ(j["kind"], "take-not-confirmed");
        EXPECT_EQ(j["event"]["number"], 100);
        EXPECT_EQ(j["engine"], "host:/opt/qtx/");
        // A route without a secret sends no signature, and only the kinds it asked for.
        const auto p = plain.Requests();
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(WebhookReceiver::Header(p[0], "X-QTX-Signature"), "");
        EXPECT_EQ(nlohmann::json::parse(p[0].Body)["kind"], "link-down");
    }
    EXPECT_EQ(signedOne.Count(), 2u);
}

TEST_F(Alarms, RoutesThatRefuseStallOrFailDoNotHoldUpOneThatWorks) {
    WebhookReceiver good(WebhookReceiver::Mode::Ok), stall(WebhookReceiver::Mode::Stall),
        broken(WebhookReceiver::Mode::Fail500);
    AlarmDelivery d({Hook(RefusingUrl()), Hook(stall.Url()), Hook(broken.Url()), Hook(good.Url())},
                    clock_, Errors(), Quick());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 20; ++i)
        d.Submit(Raise(i));
    ASSERT_TRUE(good.WaitFor(20));
    // Well inside one stalled attempt's time limit per alarm.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const auto got = good.Requests();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(nlohmann::json::parse(got[static_cast<size_t>(i)].Body)["event"]["number"],
                  i + 1);  // in order
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[1].Failures >= 1; }));
    const auto s = d.Stats();
    EXPECT_EQ(s[3].Sent, 20);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(s[static_cast<size_t>(r)].Sent, 0) << r;
        EXPECT_EQ(s[static_cast<size_t>(r)].Waiting, 20u) << r;  // kept for the next try
    }
    EXPECT_EQ(s[2].LastAnswer, "HTTP 500");
    // The failing ones wait for their pause (the clock stands still): one attempt each so far.
    EXPECT_EQ(broken.Count(), 1u);
    EXPECT_EQ(stall.Count(), 1u);
}

TEST_F(Alarms, AFailingAlarmIsRetriedForTenMinutesThenDroppedWithOneErrorEntryAnHour) {
    WebhookReceiver broken(WebhookReceiver::Mode::Fail500);
    AlarmDelivery d({Hook(broken.Url())}, clock_, Errors(), Quick());
    d.Submit(Raise(1));
    d.Submit(Raise(2));
    auto failures = [&] { return d.Stats()[0].Failures; };
    ASSERT_TRUE(WaitUntil([&] { return failures() == 1; }));
    // Pauses grow 1 s, 2 s, 4 s, ...: nothing is tried again before its pause ends.
    clock_.Advance(900);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(failures(), 1);
    clock_.Advance(100);
    ASSERT_TRUE(WaitUntil([&] { return failures() == 2; }));
    clock_.Advance(1999);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(failures(), 2);
    // Moved on a minute at a time: the first alarm is dropped once ten minutes have passed.
    int64_t moved = 3000;
    while (d.Stats()[0].Dropped == 0 && moved < 700000) {
        const int64_t before = failures();
        clock_.Advance(60000);
        moved += 60000;
        ASSERT_TRUE(WaitUntil([&] { return failures() > before; }));
    }
    EXPECT_GE(moved, 600000);
    EXPECT_LE(moved, 663000);
    ASSERT_TRUE(WaitUntil([&] { return ErrorCount() == 1; }));
    EXPECT_EQ(errors_[0].substr(0, 21), "Alarm Not Delivered: ");
    EXPECT_NE(errors_[0].find("1 alarm dropped for webhook route 0"), std::string::npos)
        << errors_[0];
    EXPECT_NE(errors_[0].find("HTTP 500"), std::string::npos);
    // The second one goes the same way within the hour: counted, not written yet.
    while (d.Stats()[0].Dropped == 1) {
        const int64_t before = failures();
        clock_.Advance(60000);
        ASSERT_TRUE(WaitUntil([&] { return failures() > before; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(ErrorCount(), 1u);
    clock_.Advance(3600000);
    ASSERT_TRUE(WaitUntil([&] { return ErrorCount() == 2; }));
    EXPECT_NE(errors_[1].find("1 alarm dropped"), std::string::npos) << errors_[1];
    EXPECT_EQ(d.Stats()[0].Sent, 0);
    EXPECT_EQ(d.Stats()[0].Waiting, 0u);
}

TEST_F(Alarms, ABurstOfAThousandArrivesWholeAndCountsMatch) {
    WebhookReceiver good(WebhookReceiver::Mode::Ok);
    AlarmDelivery d({Hook(good.Url(), "s")}, clock_, Errors(), Quick());
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        const Alarm a = Raise(i);
        ids.insert(a.Id);
        d.Submit(a);
    }
    ASSERT_TRUE(good.WaitFor(1000, 10000));
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[0].Sent == 1000; }));
    std::set<std::string> seen;
    for (const auto& r : good.Requests())
        seen.insert(nlohmann::json::parse(r.Body)["id"].get<std::string>());
    EXPECT_EQ(seen, ids);
    EXPECT_EQ(good.Count(), 1000u);
    EXPECT_EQ(d.Stats()[0].Dropped, 0);
}

TEST_F(Alarms, AFullQueueDropsTheNewestAndSaysSo) {
    WebhookReceiver stall(WebhookReceiver::Mode::Stall);
    DeliveryOptions o = Quick();
    o.QueueLimit = 5;
    AlarmDelivery d({Hook(stall.Url())}, clock_, Errors(), o);
    for (int i = 0; i < 8; ++i)
        d.Submit(Raise(i));
    EXPECT_EQ(d.Stats()[0].Dropped, 3);
    EXPECT_EQ(d.Stats()[0].Waiting, 5u);
    ASSERT_TRUE(WaitUntil([&] { return ErrorCount() == 1; }));
    // The thread may log the first drop before the other two are counted: the next entry is
    // due only an hour later, so the first says 1, 2 or 3.
    EXPECT_NE(errors_[0].find(" dropped for webhook route"), std::string::npos) << errors_[0];
    EXPECT_NE(errors_[0].find("the queue is full"), std::string::npos);
}

TEST_F(Alarms, StoppingWithAlarmsQueuedCountsNothingThatWasNotAnswered) {
    WebhookReceiver stall(WebhookReceiver::Mode::Stall);
    DeliveryOptions o = Quick();
    o.AttemptTimeoutMs = 30000;  // the stop must not wait for it
    auto d = std::make_unique<AlarmDelivery>(std::vector<AlarmRoute>{Hook(stall.Url())}, clock_,
                                             Errors(), o);
    for (int i = 0; i < 5; ++i)
        d->Submit(Raise(i));
    ASSERT_TRUE(stall.WaitFor(1));  // received whole, never answered
    const auto s = d->Stats();
    EXPECT_EQ(s[0].Sent, 0);
    EXPECT_EQ(s[0].Waiting, 5u);
    const auto start = std::chrono::steady_clock::now();
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(stall.Count(), 1u);
}

}  // namespace
}  // namespace qtx::test
