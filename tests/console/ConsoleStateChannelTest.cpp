// The real qtx-console against whatever listens on the state channel's socket: a fake engine in
// the test sends lines of the wrong types, garbage, unknown kinds and a line without end, and a
// process of another user poses as the engine. The console stays up and answers, counts what it
// drops, holds bounded memory, and believes only a peer of its own user or the folder's owner.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "console/ConsoleFixture.h"
#include "console/StateSocket.h"
#include "fixtures/Sanitizer.h"

namespace qtx::test {
namespace {

using nlohmann::json;

class StateChannelPeer : public ::testing::Test, protected ConsoleFolder {
  protected:
    void SetUp() override { AddUsers({"viewer"}); }
    void StartConsole() {
        ConsoleFolder::StartConsole();
        viewer = std::make_unique<ApiClient>(As("viewer"));
    }
    // The console connected to a fake engine of this process.
    void StartConsoleOnFakeEngine() {
        engine = std::make_unique<StateSocket>(dir.Path());
        ASSERT_TRUE(engine->Listen());
        StartConsole();
        ASSERT_TRUE(engine->Accept());
    }
    json Status() {
        auto r = viewer->Send("GET", "/api/status");
        return r && r->status == 200 ? json::parse(r->body) : json();
    }
    std::string Metrics() {
        auto r = viewer->Send("GET", "/metrics");
        return r ? r->body : "";
    }
    bool ConsoleAlive() const {
        int status = 0;
        return ::waitpid(console->Pid(), &status, WNOHANG) == 0;
    }

    std::unique_ptr<ApiClient> viewer;
    std::unique_ptr<StateSocket> engine;
};

// Lines that parse but carry the wrong types, lines that do not parse, kinds nobody knows: each is
// dropped and counted, the state stays what the sound lines made it, and the console answers.
TEST_F(StateChannelPeer, BadLinesAreCountedAndDroppedAndTheConsoleStaysUp) {
    StartConsoleOnFakeEngine();
    const char* wrongTypes[] = {
        R"({"type":"snapshot","caption":1,"icon":"x","link":[],"slave":"x","panels":5,)"
        R"("next":{},"historyColor":0,"history":3})",
        R"({"type":"caption","caption":"Forged","link":{"server":"yes","switcher":1}})",
        R"({"type":"panel","panel":1,"text":5})",
        R"({"type":"outcome","day":"Monday","time":"06:00:00","title":"x","ran":"yes",)"
        R"("reason":7,"latenessMs":"late"})",
        R"({"type":"history","day":1,"time":[],"title":{},"color":"red"})",
        R"({"type":"slave","enabled":"on","server":1,"switcher":null})",
        R"({"type":7})",
        R"({"caption":"no type"})",
    };
    const char* garbage[] = {"garbage{{", "[1,2,3]", "\"a string\"", "", "\xff\xfe{}"};
    const char* unknown[] = {R"({"type":"reboot"})"};
    const auto joined = [](const auto& list) {
        std::string text;
        for (const char* l : list)
            text += std::string(l) + "\n";
        return text;
    };
    ASSERT_TRUE(engine->Send(joined(wrongTypes)));
    ASSERT_TRUE(engine->SendLine(Snapshot("Real", true)));
    ASSERT_TRUE(engine->Send(joined(wrongTypes) + joined(garbage) + joined(unknown)));

    const double wrong = 2.0 * std::size(wrongTypes);
    ASSERT_TRUE(Eventually([&] {
        return Metric("qtx_console_state_lines_dropped_total{problem=\"wrong_type\"}") == wrong &&
               Metric("qtx_console_state_lines_dropped_total{problem=\"not_json\"}") ==
                   static_cast<double>(std::size(garbage)) &&
               Metric("qtx_console_state_lines_dropped_total{problem=\"unknown_kind\"}") == 1;
    })) << Metrics();
    ASSERT_TRUE(ConsoleAlive());
    json s = Status();
    EXPECT_EQ(s["engine"]["running"], true);
    EXPECT_EQ(s["caption"], "Real");
    EXPECT_EQ(s["link"]["server"], true);
    EXPECT_EQ(s["panels"][0], "1 Total Events");
    EXPECT_EQ(s["slave"]["enabled"], false);
    EXPECT_EQ(s["history"], json::array());
    EXPECT_EQ(Metric("qtx_events_run_total"), 0);
    // A sound change after all that still applies.
    ASSERT_TRUE(engine->Send(R"({"type":"panel","panel":2,"text":"after"})"
                             "\n"));
    EXPECT_TRUE(Eventually([&] { return Status()["panels"][1] == "after"; }));
}

// Each link's confirmation of a run reaches its history row (the worst link decides, the slave's
// reason named) and the metrics; a confirmation of unknown result is dropped as the wrong type.
// The role of an engine in a group reaches the status and the metrics from the role message.
TEST_F(StateChannelPeer, ConfirmationsAndTheGroupRoleReachStatusAndMetrics) {
    StartConsoleOnFakeEngine();
    const json row = {{"day", "Monday"}, {"time", "06:00:00"}, {"title", "Feed"}};
    auto confirmation = [&](int number, int link, const char* result, json more) {
        json m = row;
        m.update({{"type", "confirmation"},
                  {"number", number},
                  {"link", link},
                  {"action", "take"},
                  {"source", 3},
                  {"destination", 1},
                  {"result", result},
                  {"confirmed", std::string(result) == "confirmed"}});
        m.update(more);
        return m.dump() + "\n";
    };
    std::string lines = Snapshot("Real", true).dump() + "\n";
    for (int number : {1, 2}) {
        json h = row;
        h.update({{"type", "history"}, {"color", 0}});
        json o = row;
        o.update({{"type", "outcome"}, {"number", number}, {"ran", true}, {"reason", ""}});
        lines += h.dump() + "\n" + o.dump() + "\n";
    }
    lines += confirmation(1, 0, "confirmed", {{"confirmMs", 12}});
    lines += confirmation(1, 1, "confirmed", {{"confirmMs", 30}});
    lines += confirmation(2, 0, "confirmed", {{"confirmMs", 800}});
    lines += confirmation(2, 1, "notConfirmed",
                          {{"confirmMs", 2000}, {"confirmReason", "output 1 shows source 5"}});
    lines += confirmation(2, 1, "maybe", json::object());
    ASSERT_TRUE(engine->Send(lines));
    ASSERT_TRUE(Eventually([&] {
        return Metric("qtx_takes_total{link=\"slave_server\",outcome=\"not_confirmed\"}") == 1;
    })) << Metrics();
    EXPECT_EQ(Metric("qtx_takes_total{link=\"server\",outcome=\"confirmed\"}"), 2);
    EXPECT_EQ(Metric("qtx_takes_total{link=\"slave_server\",outcome=\"confirmed\"}"), 1);
    EXPECT_EQ(Metric("qtx_confirm_seconds_count"), 3);
    EXPECT_EQ(Metric("qtx_confirm_seconds_bucket{le=\"0.025\"}"), 1);
    EXPECT_EQ(Metric("qtx_confirm_seconds_bucket{le=\"1\"}"), 3);
    EXPECT_EQ(Metric("qtx_console_state_lines_dropped_total{problem=\"wrong_type\"}"), 1);
    const json history = Status()["history"];
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0]["confirmed"], true);
    EXPECT_EQ(history[0]["confirmMs"], 30);
    EXPECT_FALSE(history[0].contains("confirmReason"));
    EXPECT_EQ(history[1]["confirmed"], false);
    EXPECT_EQ(history[1]["confirmation"], "notConfirmed");
    EXPECT_EQ(history[1]["confirmReason"], "link 1: output 1 shows source 5");
    EXPECT_FALSE(history[1].contains("confirmMs"));

    // An engine alone has no cluster metrics; its role in a group reaches them and the status.
    EXPECT_EQ(Metrics().find("qtx_cluster_"), std::string::npos);
    const json role = {{"type", "role"},
                       {"role", "leader"},
                       {"leader", ""},
                       {"reason", ""},
                       {"leaderChanges", 2},
                       {"claims", {{"claimed", 7}, {"already_claimed", 1}, {"not_leader", 3}}}};
    const json run = {{"type", "unfinishedRun"}, {"number", 100},      {"title", "Feed"},
                      {"date", "2026-12-07"},    {"time", "06:00:00"}, {"node", "main"},
                      {"actions", "take 3->1"}};
    ASSERT_TRUE(engine->SendLine(role) && engine->SendLine(run));
    ASSERT_TRUE(Eventually([&] { return Metric("qtx_cluster_role{role=\"leader\"}") == 1; }))
        << Metrics();
    EXPECT_EQ(Metric("qtx_cluster_role{role=\"standby\"}"), 0);
    EXPECT_EQ(Metric("qtx_cluster_role{role=\"none\"}"), 0);
    EXPECT_EQ(Metric("qtx_cluster_leader_changes_total"), 2);
    EXPECT_EQ(Metric("qtx_cluster_claims_total{outcome=\"claimed\"}"), 7);
    EXPECT_EQ(Metric("qtx_cluster_claims_total{outcome=\"already_claimed\"}"), 1);
    EXPECT_EQ(Metric("qtx_cluster_claims_total{outcome=\"not_leader\"}"), 3);
    const json status = Status();
    EXPECT_EQ(status["role"]["role"], "leader");
    ASSERT_EQ(status["unfinished"].size(), 1u);
    EXPECT_EQ(status["unfinished"][0]["actions"], "take 3->1");
}

// A line that never ends costs the console no more than the line bound: it is dropped up to its
// newline, counted once, and the line after it applies.
TEST_F(StateChannelPeer, ALineWithoutEndKeepsTheConsoleSmall) {
    StartConsoleOnFakeEngine();
    ASSERT_TRUE(engine->SendLine(Snapshot("Before", false)));
    ASSERT_TRUE(Eventually([&] { return Status()["caption"] == "Before"; }));
    const long base = MemoryKiB();
    ASSERT_GT(base, 0);

    const std::string chunk = "{\"type\":\"caption\",\"caption\":\"" + std::string(1 << 20, 'a');
    constexpr int kMiB = 96;
    for (int i = 0; i < kMiB; ++i)
        ASSERT_TRUE(engine->Send(chunk));
    ASSERT_TRUE(engine->Send("\"}\n" + Snapshot("After", false).dump() + "\n"));
    ASSERT_TRUE(Eventually([&] { return Status()["caption"] == "After"; }, 30000));
    EXPECT_TRUE(ConsoleAlive());
    EXPECT_EQ(Metric("qtx_console_state_lines_dropped_total{problem=\"too_long\"}"), 1);
    // The bound is 4 MiB; the console may hold it (and a copy) but never the 96 MiB sent.
    if (test::MemoryIsMeasurable) {
        EXPECT_LT(MemoryKiB() - base, 24 * 1024) << "peak grew from " << base << " KiB";
    }
}

// A process of another user that holds the socket's name is not believed: the console shows the
// engine as not running, says why, and shows none of what that process sends.
TEST_F(StateChannelPeer, APeerOfAnotherUserIsNotBelieved) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the fake engine as another user";
    StateSocket impostor(dir.Path());
    // The credentials a peer sees are those of the process that calls listen().
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || !impostor.Listen())
            ::_exit(1);
        const std::string line = Snapshot("Impostor", true).dump() + "\n";
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{impostor.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 200) != 1)
                continue;
            int c = ::accept(impostor.Fd(), nullptr, nullptr);
            if (c >= 0) {
                (void)!::send(c, line.data(), line.size(), MSG_NOSIGNAL);
                ::close(c);
            }
        }
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    StartConsole();
    EXPECT_TRUE(Eventually([&] { return Metric("qtx_console_state_peers_refused_total") >= 2; }))
        << Metrics();
    json s = Status();
    EXPECT_EQ(s["engine"]["running"], false);
    EXPECT_EQ(s["engine"]["untrustedPeer"], true);
    EXPECT_NE(s["caption"], "Impostor");
    EXPECT_EQ(s["link"]["server"], false);
    EXPECT_EQ(Metric("qtx_engine_up"), 0);
    EXPECT_EQ(Metric("qtx_engine_peer_untrusted"), 1);
    EXPECT_EQ(Metric("qtx_link_up{link=\"server\"}"), 0);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace qtx::test
