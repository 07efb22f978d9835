// The group file: what it accepts, what it names as wrong, and a gate that follows its mending.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cluster/GroupFile.h"
#include "cluster/RunGate.h"
#include "fixtures/Loopback.h"
#include "fixtures/TempDir.h"

namespace qtx::cluster {
namespace {

constexpr const char* kGood = "group = g\nnode = a\netcd = http://127.0.0.1:1\n";

TEST(GroupFile, ParsesEverySettingWithCommentsAndDefaults) {
    const GroupFile f = ParseGroupFile(
        "# a comment\n\n  group = studio-1   # the same on every member\r\nnode=Main_2\n"
        "etcd = http://127.0.0.1:2379, https://127.0.0.1:22379\n"
        "tls-ca = /etc/ca.pem\ntls-cert = /etc/c.pem\ntls-key = /etc/c.key\n");
    ASSERT_TRUE(f.Config) << f.Fault;
    EXPECT_EQ(*f.Config, (GroupConfig{"studio-1",
                                      "Main_2",
                                      {"http://127.0.0.1:2379", "https://127.0.0.1:22379"},
                                      3,
                                      "/etc/ca.pem",
                                      "/etc/c.pem",
                                      "/etc/c.key"}));
    EXPECT_EQ(ParseGroupFile(std::string(kGood) + "lease = 10\n").Config->Lease, 10);
    EXPECT_EQ(ParseGroupFile(std::string(kGood) + "lease = 2\n").Config->Lease, 2);
}

TEST(GroupFile, NamesWhatIsWrong) {
    const struct {
        std::string text, fault;
    } cases[] = {
        {std::string(kGood) + "colour = red\n", "line 4: unknown key 'colour'"},
        {"node = a\netcd = http://127.0.0.1:1\n", "missing 'group'"},
        {"group = g\netcd = http://127.0.0.1:1\n", "missing 'node'"},
        {"group = g\nnode = a\n", "missing 'etcd'"},
        {"", "missing 'group'"},
        {std::string(kGood) + "lease = 1\n", "line 4: lease '1' outside 2..10 seconds"},
        {std::string(kGood) + "lease = 11\n", "line 4: lease '11' outside 2..10 seconds"},
        {std::string(kGood) + "lease = 3s\n", "line 4: lease '3s' outside 2..10 seconds"},
        {"group = studio 1\n", "line 1: bad group name 'studio 1' (letters, digits, '-' and '_')"},
        {"node = a.b\n", "line 1: bad node name 'a.b' (letters, digits, '-' and '_')"},
        {"node =\n", "line 1: bad node name '' (letters, digits, '-' and '_')"},
        {"etcd = http://127.0.0.1:1,127.0.0.1:2\n",
         "line 1: bad etcd URL '127.0.0.1:2' (http:// or https://)"},
        {std::string(kGood) + "node = b\n", "line 4: 'node' given twice"},
        {"group g\n", "line 1: no '=' in 'group g'"},
        {std::string(kGood) + "tls-cert = /c.pem\n", "tls-cert and tls-key go together"},
    };
    for (const auto& c : cases) {
        const GroupFile f = ParseGroupFile(c.text);
        EXPECT_FALSE(f.Config) << c.text;
        EXPECT_EQ(f.Fault, c.fault) << c.text;
    }
    EXPECT_EQ(ReadGroupFile("/nonexistent/qtx-cluster.conf").Fault, "unreadable");
}

TEST(GroupFile, NoFileNoGateABrokenOneHoldsTheEngineUntilMended) {
    test::TempDir dir;
    EXPECT_EQ(OpenGroup(dir.Path()), nullptr);

    test::WriteWholeFile(dir.File(kGroupFileName), std::string(kGood) + "lease = 20\n");
    const std::unique_ptr<RunGate> gate = OpenGroup(dir.Path());
    ASSERT_NE(gate, nullptr);
    EXPECT_EQ(gate->CurrentRole().Role, Role::NoLeader);
    EXPECT_EQ(gate->CurrentRole().Reason,
              "qtx-cluster.conf: line 4: lease '20' outside 2..10 seconds");
    EXPECT_FALSE(gate->MaySend());
    EXPECT_EQ(gate->Claim({1, 20000, 0}, Marking::None, "x"), ClaimOutcome::NotLeader);

    // Mended, the gate joins the group (here: at an etcd nobody serves) without a restart.
    const int port = test::LoopbackListener::RefusingPort();
    test::WriteWholeFile(dir.File(kGroupFileName), "group = g\nnode = a\netcd = http://127.0.0.1:" +
                                                       std::to_string(port) + "\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (gate->CurrentRole().Reason.rfind("qtx-cluster.conf", 0) == 0 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gate->CurrentRole().Role, Role::NoLeader);
    EXPECT_EQ(gate->CurrentRole().Reason.rfind("qtx-cluster.conf", 0), std::string::npos)
        << gate->CurrentRole().Reason;
}

}  // namespace
}  // namespace qtx::cluster
