// qtx-eventdb alarm add/list/remove/test against real receivers on 127.0.0.1 (a webhook
// receiver, an SMTP server that wants a login, snmptrapd).
#include <gtest/gtest.h>

#include <sstream>

#include "eventdb/EventDbTool.h"
#include "fixtures/TempDir.h"
#include "tests/alarms/Receivers.h"
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
    EXPECT_EQ(Tool({"alarm", "add", file, "snmp", "manager.test:162"}).Status, 1);
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

// The program itself, input on its standard input; status and output (both streams).
Result Program(const std::vector<std::string>& args, const std::string& input) {
    std::string command =
        "printf '%s' '" + input + "' | " QTX_BINARY_DIR "/apps/qtx-eventdb/qtx-eventdb";
    for (const std::string& a : args)
        command += " '" + a + "'";
    const auto [status, out] = Shell(command);
    return {status, out, ""};
}

TEST(AlarmCommands, MailAndSnmpRoutesTakeThePasswordFromStandardInputAndNeverShowIt) {
    TempDir dir;
    const std::string file = dir.File("QTXAutomation.mdb");
    ASSERT_EQ(Tool({"create", file}).Status, 0);
    SmtpSink mail("ops:s3cret pw");
    TrapSink traps;
    auto email = [&](const std::string& url, const std::vector<std::string>& more,
                     const std::string& password) {
        std::vector<std::string> a{"alarm",  "add",
                                   file,     "email",
                                   "--smtp", url,
                                   "--from", "qtx@studio.test",
                                   "--to",   "ops@studio.test"};
        a.insert(a.end(), more.begin(), more.end());
        return Program(a, password);
    };
    const auto added = email(mail.Url(), {"--user", "ops"}, "s3cret pw\n");
    ASSERT_EQ(added.Status, 0) << added.Out;
    EXPECT_EQ(added.Out, "added 1  email  " + mail.Url() +
                             "  from qtx@studio.test  to ops@studio.test  user ops  password set"
                             "  kinds all\n");
    ASSERT_EQ(Program({"alarm", "add", file, "snmp", traps.Target(), "--community", "n0c",
                       "--kinds", "link-down"},
                      "")
                  .Status,
              0);
    const std::string closed = RefusingSmtp();
    ASSERT_EQ(email(closed, {"--kinds", "test"}, "").Status, 0);
    // Refused: a password that would cross the network in the clear, none given, a missing
    // --from, a manager by name.
    EXPECT_EQ(email("smtp://mail.studio.test:25", {"--user", "ops"}, "pw\n").Status, 1);
    EXPECT_EQ(email("smtp://mail.studio.test:587", {"--user", "ops", "--starttls"}, "").Status, 1);
    EXPECT_EQ(
        Program({"alarm", "add", file, "email", "--smtp", mail.Url(), "--to", "a@b"}, "").Status,
        2);
    EXPECT_EQ(Program({"alarm", "add", file, "snmp", "manager.test:162"}, "").Status, 1);

    const auto list = Tool({"alarm", "list", file});
    EXPECT_EQ(list.Out.find("s3cret"), std::string::npos);
    EXPECT_EQ(list.Out.find("n0c"), std::string::npos);
    EXPECT_NE(list.Out.find("2  snmp  " + traps.Target() + "  community set  kinds link-down\n"),
              std::string::npos)
        << list.Out;

    const auto test = Tool({"alarm", "test", file});
    EXPECT_EQ(test.Status, 1);
    EXPECT_NE(test.Out.find("1  email  " + mail.Url() + "  delivered: SMTP 250\n"),
              std::string::npos)
        << test.Out;
    EXPECT_NE(test.Out.find("2  snmp  " + traps.Target() + "  delivered: trap sent\n"),
              std::string::npos);
    EXPECT_NE(test.Out.find("3  email  " + closed + "  failed: "), std::string::npos) << test.Out;
    ASSERT_TRUE(mail.WaitFor(1));
    EXPECT_NE(mail.Messages()[0].find("Kind:      test\r\n"), std::string::npos);
    EXPECT_TRUE(traps.WaitFor("qtxAlarmKind.0 = STRING: test")) << traps.Log();
    EXPECT_EQ(mail.Messages().size(), 1u);
}

}  // namespace
}  // namespace qtx::test
