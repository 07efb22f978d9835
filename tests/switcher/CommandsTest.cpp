// The command senders as the switchers see them: frames on both links, in order, with their
// activity lines, and the refusals that send and log nothing.
#include <gtest/gtest.h>

#include "switcher/Frames.h"
#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

using sim::ToHex;

class Commands : public LinkHarness {
  protected:
    void SetUp() override {
        EnableSlave();
        StartAndWait();
        server_.ClearFrames();
        slave_.ClearFrames();
    }
    // The frames each switcher got after start-up, waiting until they have that many.
    std::pair<std::vector<std::string>, std::vector<std::string>> Wire(size_t count,
                                                                       size_t slaveCount) {
        Until(
            [&] {
                return server_.Frames().size() >= count && slave_.Frames().size() >= slaveCount;
            },
            2000);
        loop_.RunFor(30);
        std::pair<std::vector<std::string>, std::vector<std::string>> out;
        for (const auto& f : server_.Frames())
            out.first.push_back(ToHex(f.Bytes));
        for (const auto& f : slave_.Frames())
            out.second.push_back(ToHex(f.Bytes));
        return out;
    }
};

TEST_F(Commands, EveryCommandGoesOutOnBothLinksAndIsLoggedAfterwards) {
    AutomationEvent& e = Event();
    e.xcontrol = 1;
    e.SourceChan = 1;
    e.DestChan = 2;
    e.Salvo = 1;
    e.rcontrol = 3;
    e.Relay = 3;
    e.vcontrol = 2;
    e.VChan = 2;
    e.Gain = 0;
    tcp_->SendCrosspointChange();
    tcp_->SendSalvoExecute();
    tcp_->SendRelayAction();
    tcp_->SendGainChange();
    tcp_->SendSwitcherMessage("AB", 1, 2, 3);
    const std::vector<std::string> expected = {
        "FE 04 00 00 00 01 00 05 FF", "EA 64 00 00 64 FF", "FE 48 00 00 00 02 00 4A FF",
        "E3 02 03 01 00 01 00 00 00 07 FF", "EC 00 01 02 03 02 00 41 00 42 00 0B FF"};
    auto [server, slave] = Wire(expected.size(), expected.size());
    EXPECT_EQ(server, expected);
    EXPECT_EQ(slave, expected);
    EXPECT_EQ(ActivityTexts(), (std::vector<std::string>{
                                   "Send Take - In:0001-->Out:0002", "Send Execute Salvo Number 1",
                                   "Momentary Relay #0003", "Destination Gain Change Chan. 0001",
                                   "Message sent to Switcher F01S02P03"}));
    // The take was applied by the switcher and reported back into the map.
    ASSERT_TRUE(Until([&] { return vars_.CrosspointMap[1].Sources == std::vector<int16_t>{0}; }));
}

TEST_F(Commands, SelectorsAndNumbersChooseWordsAndTexts) {
    AutomationEvent& e = Event();
    e.SourceChan = 130;
    e.DestChan = 1;
    e.xcontrol = 3;
    tcp_->SendCrosspointChange();
    e.xcontrol = 2;
    e.SourceChan = 3;
    tcp_->SendCrosspointChange();
    e.rcontrol = 1;
    e.Relay = 1;
    tcp_->SendRelayAction();
    e.rcontrol = 2;
    tcp_->SendRelayAction();
    e.vcontrol = 1;
    e.VChan = 5;
    e.Gain = 100;
    tcp_->SendGainChange();
    tcp_->SendSwitcherMessage("", 123, 4, 5);
    auto [server, slave] = Wire(6, 6);
    EXPECT_EQ(server, (std::vector<std::string>{
                          "FE 20 00 01 01 00 00 22 FF", "FE 24 00 02 00 00 00 26 FF",
                          "FE 44 00 00 00 00 00 44 FF", "FE 40 00 00 00 00 00 40 FF",
                          "E3 02 01 01 00 04 00 64 00 6C FF", "EC 00 7B 04 05 00 00 04 FF"}));
    EXPECT_EQ(ActivityTexts(),
              (std::vector<std::string>{"Send Sum Off - In:0130-->Out:0001",
                                        "Send Sum On - In:0003-->Out:0001", "Latch Relay #0001",
                                        "Release Relay #0001", "Source Gain Change Chan. 0004",
                                        "Message sent to Switcher F123S04P05"}));
    EXPECT_EQ(server_.Matrix()[0], (std::vector<int>{0, 2}));
}

TEST_F(Commands, UnencodableOrUnmatchedEventsSendAndLogNothing) {
    AutomationEvent& e = Event();
    e.Salvo = 0;
    tcp_->SendSalvoExecute();
    e.xcontrol = -1;
    e.SourceChan = 1;
    e.DestChan = 1;
    tcp_->SendCrosspointChange();
    e.rcontrol = -2;
    e.Relay = 1;
    tcp_->SendRelayAction();
    e.vcontrol = -1;
    e.VChan = 1;
    tcp_->SendGainChange();
    e.vcontrol = 1;
    e.Gain = -1;
    tcp_->SendGainChange();
    e.xcontrol = 1;
    e.DestChan = 20000;  // beyond 14 bits
    tcp_->SendCrosspointChange();
    tcp_->SendSwitcherMessage(std::string(16384, 'x'), 1, 1, 1);
    vars_.NextEventIndex = 5;
    tcp_->SendSalvoExecute();
    loop_.RunFor(100);
    EXPECT_TRUE(server_.Frames().empty());
    EXPECT_TRUE(slave_.Frames().empty());
    EXPECT_TRUE(ActivityTexts().empty());
    const std::string errors = ErrorLog();
    for (const char* location :
         {"Error Sending Salvo Execute", "Error Sending Gain Message",
          "Error Sending Crosspoint Change", "Error Sending Message to Switcher"})
        EXPECT_NE(errors.find(location), std::string::npos) << location;
}

TEST_F(Commands, ALinkOneThatIsDownIsReportedAndTheLineStillWritten) {
    slave_.DropConnections();
    ASSERT_TRUE(Until([&] { return !vars_.SlaveConnected; }));
    AutomationEvent& e = Event();
    e.Salvo = 2;
    tcp_->SendSalvoExecute();
    auto [server, slave] = Wire(1, 0);
    EXPECT_EQ(server, std::vector<std::string>{"EA 64 01 00 65 FF"});
    EXPECT_TRUE(slave.empty());
    EXPECT_NE(ErrorLog().find("Error sending to switcher"), std::string::npos);
    EXPECT_EQ(ActivityTexts(), std::vector<std::string>{"Send Execute Salvo Number 2"});
}

TEST_F(Commands, ProtocolRepliesGoOnTheirOwnLinkOnly) {
    slave_.SendRaw(sim::FromHex("F5 81 64 64 FF"));
    ASSERT_TRUE(Until([&] { return slave_.Frames().size() >= 1; }));
    ASSERT_TRUE(Until([&] { return !vars_.RecvBuffer[1].empty() || slave_.Frames().size() >= 2; }));
    Tick();
    auto [server, slave] = Wire(0, 2);
    EXPECT_TRUE(server.empty());
    EXPECT_EQ(slave, (std::vector<std::string>{"F4", "81 7D 7D FF"}));
}

}  // namespace
}  // namespace qtx::test
