// The e-mail and SNMP routes against real receivers on 127.0.0.1 (aiosmtpd, snmptrapd with the
// shipped MIB), beside a mail route that refuses; the per-minute limit on a moved clock; the MIB
// and the alert rules through their own tools.
#include <gtest/gtest.h>

#include "alarms/AlarmBook.h"
#include "alarms/CleanText.h"
#include "alarms/Delivery.h"
#include "alarms/SnmpTrap.h"
#include "tests/alarms/Receivers.h"
#include "tests/alarms/WebhookReceiver.h"

namespace qtx::test {
namespace {

using namespace alarms;

AlarmRoute Mail(const std::string& url) {
    AlarmRoute r;
    r.Type = RouteType::Email;
    r.Target = url;
    r.MailFrom = "qtx@studio.test";
    r.MailTo = "ops@studio.test, night@studio.test";
    return r;
}

AlarmRoute Trap(const std::string& target, const std::string& community = "public") {
    AlarmRoute r;
    r.Type = RouteType::Snmp;
    r.Target = target;
    r.Secret = community;
    return r;
}

DeliveryOptions Quick() {
    DeliveryOptions o;
    o.AttemptTimeoutMs = 2000;
    o.ConnectTimeoutMs = 500;
    return o;
}

size_t Count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        ++n;
    return n;
}

class MailSnmp : public ::testing::Test {
  protected:
    MailSnmp() : clock_(LocalDateTime{2026, 12, 7, 6, 0, 1, 12}), book_(clock_, "host:/opt/qtx/") {}
    FakeClock clock_;
    AlarmBook book_;
};

TEST_F(MailSnmp, EachAlarmReachesTheMailServerAndTheManagerWithEveryFieldBesideARefusingRoute) {
    SmtpSink mail;
    TrapSink traps;
    AlarmDelivery d({Mail(RefusingSmtp()), Mail(mail.Url()), Trap(traps.Target(), "n0c")}, clock_,
                    nullptr, Quick());
    const Alarm take =
        *book_.Raise(AlarmKind::TakeNotConfirmed, "run 100",
                     "Morning f\xc3\xa9\x65\x64: take 3->1 not confirmed\r\nBcc: x@y",
                     AlarmEvent{100, "Morning f\xc3\xa9\x65\x64"}, 0);
    book_.Raise(AlarmKind::LinkDown, "link 1", "link 1 down", std::nullopt, 1);
    clock_.Advance(12500);
    const Alarm cleared = *book_.Clear(AlarmKind::LinkDown, "link 1");
    d.Submit(take);
    d.Submit(cleared);
    ASSERT_TRUE(mail.WaitFor(2)) << d.Stats()[1].LastAnswer;
    ASSERT_TRUE(traps.WaitFor("qtxAlarmCleared")) << traps.Log() << d.Stats()[2].LastAnswer;
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[0].Failures >= 1; }));

    // The mail: envelope, headers (the text's line break cannot add one), every field.
    const std::string m = mail.Messages()[0];
    EXPECT_NE(m.find("X-Envelope-From: qtx@studio.test\r\n"), std::string::npos) << m;
    EXPECT_NE(m.find("X-Envelope-To: ops@studio.test,night@studio.test\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nSubject: =?UTF-8?B?"), std::string::npos) << m;
    EXPECT_EQ(m.find("\r\nBcc:"), std::string::npos);
    EXPECT_NE(m.find("Date: Mon, 07 Dec 2026 06:00:01 +0000\r\n"), std::string::npos);
    for (const char* field :
         {"Kind:      take-not-confirmed", "State:     raised", "Severity:  major",
          "Text:      Morning f\xc3\xa9\x65\x64: take 3->1 not confirmed  Bcc: x@y",
          "Event:     100 Morning f\xc3\xa9\x65\x64", "Link:      0",
          "At:        2026-12-07T06:00:01.012+00:00", "Engine:    host:/opt/qtx/"})
        EXPECT_NE(m.find(field + std::string("\r\n")), std::string::npos) << field << "\n" << m;
    EXPECT_NE(m.find("Id:        " + take.Id), std::string::npos);
    EXPECT_NE(mail.Messages()[1].find("Lasted:    12.500 s\r\n"), std::string::npos);

    // The traps, named by the shipped MIB: every object of each, the values as sent.
    const std::string log = traps.Log();
    EXPECT_EQ(Count(log, "QTX-AUTOMATION-MIB::qtxAlarmRaised"), 1u) << log;
    for (const char* object :
         {"qtxAlarmId.0", "qtxAlarmKind.0", "qtxAlarmState.0", "qtxAlarmSeverity.0",
          "qtxAlarmText.0", "qtxAlarmEventNumber.0", "qtxAlarmEventTitle.0", "qtxAlarmLink.0",
          "qtxAlarmAt.0", "qtxAlarmEngine.0", "qtxAlarmLasted.0"})
        EXPECT_EQ(Count(log, std::string("QTX-AUTOMATION-MIB::") + object + " = "), 2u) << object;
    for (const std::string& value :
         {"qtxAlarmId.0 = STRING: " + take.Id, std::string("qtxAlarmKind.0 = STRING: link-down"),
          std::string("qtxAlarmState.0 = INTEGER: raised(1)"),
          std::string("qtxAlarmState.0 = INTEGER: cleared(2)"),
          std::string("qtxAlarmSeverity.0 = INTEGER: major(2)"),
          std::string("qtxAlarmSeverity.0 = INTEGER: critical(1)"),
          std::string("qtxAlarmEventNumber.0 = INTEGER: 100"),
          std::string("qtxAlarmLink.0 = INTEGER: 1"), std::string("qtxAlarmLink.0 = INTEGER: 0"),
          std::string("qtxAlarmAt.0 = STRING: 2026-12-7,6:0:1.0,+0:0"),
          std::string("qtxAlarmAt.0 = STRING: 2026-12-7,6:0:13.5,+0:0"),
          std::string("qtxAlarmEngine.0 = STRING: host:/opt/qtx/"),
          std::string("qtxAlarmLasted.0 = Timeticks: (1250)")})
        EXPECT_NE(log.find(value), std::string::npos) << value << "\n" << log;

    const auto s = d.Stats();
    EXPECT_EQ(s[0].Sent, 0);
    EXPECT_EQ(s[0].Waiting, 2u);  // kept for the next try
    EXPECT_EQ(s[1].Sent, 2);
    EXPECT_EQ(s[1].LastAnswer, "SMTP 250");
    EXPECT_EQ(s[2].Sent, 2);
    EXPECT_EQ(s[2].LastAnswer, "trap sent");
}

TEST_F(MailSnmp, EveryKindReachesEveryRouteType) {
    WebhookReceiver hook(WebhookReceiver::Mode::Ok);
    SmtpSink mail;
    TrapSink traps;
    AlarmRoute web;
    web.Target = hook.Url();
    AlarmDelivery d({web, Mail(mail.Url()), Trap(traps.Target())}, clock_, nullptr, Quick());
    for (AlarmKind k : AllKinds())
        d.Submit(*book_.Raise(k, KindName(k), KindName(k) + " raised"));
    const size_t n = AllKinds().size();
    ASSERT_TRUE(hook.WaitFor(n));
    ASSERT_TRUE(mail.WaitFor(n));
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[2].Sent == static_cast<int64_t>(n); }));
    ASSERT_TRUE(traps.WaitFor("qtxAlarmKind.0 = STRING: " + KindName(AllKinds().back())));
    std::string hooks, mails;
    for (const auto& r : hook.Requests())
        hooks += r.Body;
    for (const std::string& m : mail.Messages())
        mails += m;
    const std::string log = traps.Log();
    for (AlarmKind k : AllKinds()) {
        const std::string name = KindName(k);
        EXPECT_EQ(Count(hooks, "\"kind\":\"" + name + "\""), 1u) << name << "\n" << hooks;
        EXPECT_EQ(Count(mails, "Kind:      " + name + "\r\n"), 1u) << name;
        EXPECT_EQ(Count(log, "qtxAlarmKind.0 = STRING: " + name), 1u) << name << "\n" << log;
    }
}

TEST_F(MailSnmp, OneMailAMinutePerKindTheRestInOneSummary) {
    SmtpSink mail;
    AlarmDelivery d({Mail(mail.Url())}, clock_, nullptr, Quick());
    for (int i = 1; i <= 5; ++i)
        d.Submit(*book_.Raise(AlarmKind::TakeNotConfirmed, "run " + std::to_string(i),
                              "take " + std::to_string(i) + " not confirmed"));
    d.Submit(*book_.Raise(AlarmKind::LinkDown, "link 0", "link 0 down"));
    ASSERT_TRUE(mail.WaitFor(2));
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[0].Waiting == 4; }));
    EXPECT_NE(mail.Messages()[0].find("take 1 not confirmed"), std::string::npos);
    EXPECT_NE(mail.Messages()[1].find("link 0 down"), std::string::npos);
    clock_.Advance(59999);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(mail.Messages().size(), 2u);
    clock_.Advance(1);
    ASSERT_TRUE(mail.WaitFor(3));
    const std::string summary = mail.Messages()[2];
    EXPECT_NE(summary.find("Subject: [QTX] 4 more take-not-confirmed alarms (major)\r\n"),
              std::string::npos)
        << summary;
    for (int i = 2; i <= 5; ++i)
        EXPECT_NE(summary.find("raised  take " + std::to_string(i) + " not confirmed"),
                  std::string::npos)
            << summary;
    ASSERT_TRUE(WaitUntil([&] { return d.Stats()[0].Waiting == 0 && d.Stats()[0].Sent == 3; }));
    // The summary started the kind's next minute; one after it goes out alone.
    d.Submit(*book_.Raise(AlarmKind::TakeNotConfirmed, "run 6", "take 6 not confirmed"));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(mail.Messages().size(), 3u);
    clock_.Advance(60000);
    ASSERT_TRUE(mail.WaitFor(4));
    EXPECT_NE(mail.Messages()[3].find("1 more take-not-confirmed alarm (major)"),
              std::string::npos);
    clock_.Advance(60000);
    d.Submit(*book_.Raise(AlarmKind::TakeNotConfirmed, "run 7", "take 7 not confirmed"));
    ASSERT_TRUE(mail.WaitFor(5));
    EXPECT_NE(mail.Messages()[4].find("Text:      take 7 not confirmed"), std::string::npos);
}

TEST_F(MailSnmp, RoutesAndTextsAreCheckedBeforeAnythingLeaves) {
    struct Case {
        std::string Url, From, To, User, Password;
        bool StartTls;
        bool Ok;
    };
    const std::vector<Case> mail = {
        {"smtp://mail.test:587", "qtx@a.test", "ops@a.test", "qtx", "pw", true, true},
        {"smtps://mail.test", "qtx@a.test", "ops@a.test,b@a.test", "qtx", "pw", false, true},
        {"smtp://127.0.0.1:25", "qtx@a.test", "ops@a.test", "qtx", "pw", false, true},
        {"smtp://localhost:25", "qtx@a.test", "ops@a.test", "", "", false, true},
        // A password in the clear over the network, also to a name that only looks local.
        {"smtp://mail.test:25", "qtx@a.test", "ops@a.test", "qtx", "pw", false, false},
        {"smtp://127.0.0.1.mail.test", "qtx@a.test", "ops@a.test", "qtx", "pw", false, false},
        {"smtp://mail.test:587", "qtx@a.test", "ops@a.test", "qtx", "", true, false},
        {"http://mail.test", "qtx@a.test", "ops@a.test", "", "", false, false},
        {"smtp://mail.test", "qtx@a.test\r\nBcc: x@y.test", "ops@a.test", "", "", false, false},
        {"smtp://mail.test", "qtx@a.test", "ops@a.test,<x@y.test>", "", "", false, false},
        {"smtp://mail.test", "qtx", "ops@a.test", "", "", false, false},
    };
    for (const Case& c : mail) {
        AlarmRoute r = Mail(c.Url);
        r.MailFrom = c.From;
        r.MailTo = c.To;
        r.MailUser = c.User;
        r.Secret = c.Password;
        r.StartTls = c.StartTls;
        EXPECT_EQ(CheckRoute(r).empty(), c.Ok) << c.Url << " " << c.From << " " << c.To;
    }
    const std::vector<std::pair<std::string, bool>> managers = {
        {"127.0.0.1:162", true}, {"[::1]:1162", true},    {"manager.test:162", false},
        {"127.0.0.1", false},    {"127.0.0.1:0", false},  {"127.0.0.1:65536", false},
        {"::1:162", false},      {"127.0.0.1:16x", false}};
    for (const auto& [target, ok] : managers)
        EXPECT_EQ(CheckRoute(Trap(target)).empty(), ok) << target;
    EXPECT_FALSE(CheckRoute(Trap("127.0.0.1:162", "")).empty());
    // Texts for headers and SNMP strings: UTF-8 kept whole, a stray byte replaced, controls
    // blank, cut at a character boundary.
    EXPECT_EQ(CleanText("caf\xc3\xa9\r\n\t"), "caf\xc3\xa9   ");
    EXPECT_EQ(CleanText("f\xe9"
                        "ed"),
              "f\xef\xbf\xbd"
              "ed");
    EXPECT_EQ(CleanText("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(CleanText("ab\xc3\xa9", 3), "ab");
}

TEST_F(MailSnmp, TheMibNamesEveryObjectAndNotificationTheTrapsCarry) {
    // net-snmp's parser with the MIB alone: each name resolves to the number the program sends,
    // with nothing to complain about.
    const std::vector<std::string> names = {
        "qtxAlarmId",   "qtxAlarmKind",        "qtxAlarmState",      "qtxAlarmSeverity",
        "qtxAlarmText", "qtxAlarmEventNumber", "qtxAlarmEventTitle", "qtxAlarmLink",
        "qtxAlarmAt",   "qtxAlarmEngine",      "qtxAlarmLasted"};
    std::vector<std::string> expected = SnmpObjectOids();
    ASSERT_EQ(expected.size(), names.size());
    std::string command = "snmptranslate -M " + MibFolders() + " -m QTX-AUTOMATION-MIB -On";
    for (const std::string& n : names)
        command += " QTX-AUTOMATION-MIB::" + n;
    command += " QTX-AUTOMATION-MIB::qtxAlarmRaised QTX-AUTOMATION-MIB::qtxAlarmCleared";
    expected.push_back(SnmpTrapOid(AlarmState::Raised));
    expected.push_back(SnmpTrapOid(AlarmState::Cleared));
    std::string want;
    for (const std::string& o : expected)
        want += o + "\n";
    auto [status, out] = Shell(command);
    EXPECT_EQ(status, 0);
    // One number per name (snmptranslate puts a blank line between them), and not a word more.
    for (size_t at; (at = out.find("\n\n")) != std::string::npos;)
        out.erase(at, 1);
    EXPECT_EQ(out, want);
    EXPECT_EQ(SnmpTrapOid(AlarmState::Raised), ".1.3.6.1.4.1.32473.0.1");
}

TEST_F(MailSnmp, TheAlertRulesPassPromtoolAndFireOnTheirSeries) {
    const std::string rules = std::string(QTX_SOURCE_DIR) + "/packaging/prometheus/qtx-alerts.yml";
    const auto check = Shell("promtool check rules " + rules);
    EXPECT_EQ(check.first, 0) << check.second;
    const auto unit = Shell("cd " + std::string(QTX_SOURCE_DIR) +
                            " && promtool test rules tests/alarms/qtx-alerts-test.yml");
    EXPECT_EQ(unit.first, 0) << unit.second;
    // A broken file is caught.
    TempDir dir;
    WriteWholeFile(dir.File("bad.yml"),
                   ReadWholeFile(rules) + "      - alert: Broken\n        expr: up ==\n");
    EXPECT_NE(Shell("promtool check rules " + dir.File("bad.yml")).first, 0);
}

}  // namespace
}  // namespace qtx::test
