// qtx-eventdb alarm add/list/remove/test against a real webhook receiver on 127.0.0.1.
#include <gtest/gtest.h>

#include <sstream>

#include "eventdb/EventDbTool.h"
#include "fixtures/TempDir.h"
#include "tests/alarms/WebhookReceiver.h"

namespace qtx::test {
namespace {

struct Result {
    int Status;
    std::string Out, Err;
};

Result Tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunEventDbTool(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(AlarmCommands, RoutesAreAddedListedWithoutSecretsTestedAndRemoved) {
    TempDir dir;
    const std::string file = dir.File("QTXAutomation.mdb");
    ASSERT_EQ(Tool({"create", file}).Status, 0);
    WebhookReceiver good(WebhookReceiver::Mode::Ok);
    const std::string refusing = RefusingUrl();
    EXPECT_EQ(Tool({"alarm", "list", file}).Out, "");
    auto added = Tool({"alarm", "add", file, "webhook", good.Url(), "--secret", "hush"});
    ASSERT_EQ(added.Status, 0) << added.Err;
    ASSERT_EQ(Tool({"alarm", "add", file, "webhook", refusing, "--kinds", "link-down"}).Status, 0);
    // Refused, the file unchanged: bad URL, unknown kind, a type not available, bad usage.
    EXPECT_EQ(Tool({"alarm", "add", file, "webhook", "ftp://h/x"}).Status, 1);
    EXPECT_EQ(Tool({"alarm", "add", file, "webhook", good.Url(), "--kinds", "nope"}).Status, 1);
    EXPECT_EQ(Tool({"alarm", "add", file, "snmp", "127.0.0.1:162"}).Status, 1);
    EXPECT_EQ(Tool({"alarm", "add", file, "webhook", good.Url(), "--secret"}).Status, 2);
    const auto list = Tool({"alarm", "list", file});
    EXPECT_EQ(list.Out, "1  webhook  " + good.Url() + "  secret set  kinds all\n2  webhook  " +
                            refusing + "  secret none  kinds link-down\n");
    EXPECT_EQ(list.Out.find("hush"), std::string::npos);
    // The engine's own check still finds a sound file.
    EXPECT_EQ(Tool({"check", file}).Status, 0);

    const auto test = Tool({"alarm", "test", file});
    EXPECT_EQ(test.Status, 1);  // one route failed
    EXPECT_NE(test.Out.find("1  webhook  " + good.Url() + "  delivered: HTTP 200\n"),
              std::string::npos)
        << test.Out;
    EXPECT_NE(test.Out.find("2  webhook  " + refusing + "  failed: "), std::string::npos)
        << test.Out;
    ASSERT_EQ(good.Count(), 1u);
    EXPECT_NE(good.Requests()[0].Body.find("\"kind\":\"test\""), std::string::npos);
    EXPECT_EQ(WebhookReceiver::Header(good.Requests()[0], "X-QTX-Signature").substr(0, 7),
              "sha256=");

    EXPECT_EQ(Tool({"alarm", "remove", file, "2"}).Status, 0);
    EXPECT_EQ(Tool({"alarm", "remove", file, "2"}).Status, 1);
    EXPECT_EQ(Tool({"alarm", "test", file}).Status, 0);
    EXPECT_EQ(good.Count(), 2u);
}

}  // namespace
}  // namespace qtx::test
