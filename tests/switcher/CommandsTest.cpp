// The command senders as the switchers see them: frames byte for byte on both links, in order,
// with their activity lines, and the refusals that send and log nothing.
#include <gtest/gtest.h>

#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

TEST(TextFrames, RawAddressBytesSevenBitCharactersAndNoTerminatorInside) {
    using frames::TextFrame;
    EXPECT_EQ(ToHex(TextFrame("", 0x90, 2, 3)), "EC 00 90 02 03 00 00 15 FF");
    EXPECT_EQ(ToHex(TextFrame("\xE9", 0, 0, 0)).substr(21, 5), "69 01");
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const std::string f = TextFrame(all, 0, 0, 0);
    EXPECT_EQ(f.find('\xFF'), f.size() - 1);
    EXPECT_EQ(TextFrame(std::string(16383, 'a'), 0, 0, 0).size(), 9u + 2 * 16383);
}

class Commands : public LinkHarness {
  protected:
    void SetUp() override {
        EnableSlave();
        StartAndWait();
        server_.ClearFrames();
        slave_.ClearFrames();
        vars_.EventTable.assign(1, AutomationEvent{});
        vars_.EventCount = 1;
        vars_.NextEventIndex = 0;
    }
    // xcontrol, SourceChan, DestChan, Salvo, rcontrol, Relay, vcontrol, VChan, Gain
    using Fields = std::array<int16_t, 9>;
    // Gives the current event these fields and runs the four event senders on it.
    void SendAll(const Fields& f) {
        AutomationEvent& e = vars_.EventTable[0];
        std::tie(e.xcontrol, e.SourceChan, e.DestChan, e.Salvo, e.rcontrol, e.Relay, e.vcontrol,
                 e.VChan, e.Gain) = std::tuple_cat(f);
        tcp_.SendCrosspointChange();
        tcp_.SendSalvoExecute();
        tcp_.SendRelayAction();
        tcp_.SendGainChange();
    }
    // Waits until the slave, served last, has received count frames, and a little longer.
    void AwaitFrames(size_t count) {
        Until([&] { return slave_.Frames().size() >= count; });
        loop_.RunFor(30);
    }
};

TEST_F(Commands, EverySelectorGivesItsFrameOnBothLinksAndItsLineAfterwards) {
    SendAll({1, 1, 2, 1, 3, 3, 2, 2, 0});
    SendAll({3, 130, 1, 2, 1, 1, 1, 5, 100});
    SendAll({2, 3, 1, 3, 2, 1, 0, 1, 1});  // vcontrol 0: no gain change
    tcp_.SendSwitcherMessage("AB", 1, 2, 3);
    tcp_.SendSwitcherMessage("", 123, 4, 5);
    const std::vector<std::string> expected = {
        "FE 04 00 00 00 01 00 05 FF", "EA 64 00 00 64 FF",
        "FE 48 00 00 00 02 00 4A FF", "E3 02 03 01 00 01 00 00 00 07 FF",
        "FE 20 00 01 01 00 00 22 FF", "EA 64 01 00 65 FF",
        "FE 44 00 00 00 00 00 44 FF", "E3 02 01 01 00 04 00 64 00 6C FF",
        "FE 24 00 02 00 00 00 26 FF", "EA 64 02 00 66 FF",
        "FE 40 00 00 00 00 00 40 FF", "EC 00 01 02 03 02 00 41 00 42 00 0B FF",
        "EC 00 7B 04 05 00 00 04 FF"};
    AwaitFrames(expected.size());
    EXPECT_EQ(Wire(server_), expected);
    EXPECT_EQ(Wire(slave_), expected);
    EXPECT_EQ(
        ActivityTexts(),
        (std::vector<std::string>{
            "Send Take - In:0001-->Out:0002", "Send Execute Salvo Number 1",
            "Momentary Relay #0003", "Destination Gain Change Chan. 0001",
            "Send Sum Off - In:0130-->Out:0001", "Send Execute Salvo Number 2", "Latch Relay #0001",
            "Source Gain Change Chan. 0004", "Send Sum On - In:0003-->Out:0001",
            "Send Execute Salvo Number 3", "Release Relay #0001",
            "Message sent to Switcher F01S02P03", "Message sent to Switcher F123S04P05"}));
    // The switcher applied the take and reported it back into the map.
    ASSERT_TRUE(Until([&] { return vars_.CrosspointMap[1].Sources == std::vector<int16_t>{0}; }));
}

TEST_F(Commands, UnencodableOrUnmatchedEventsSendAndLogNothing) {
    SendAll({-1, 1, 1, 0, -2, 1, -1, 1, 0});    // selectors below 1; salvo 0 has no word
    SendAll({1, 1, 20000, 0, 4, 1, 1, 1, -1});  // beyond 14 bits; a negative gain
    vars_.NextEventIndex = 5;                   // outside the table
    SendAll({1, 1, 1, 1, 1, 1, 1, 1, 1});
    tcp_.SendSwitcherMessage(std::string(16384, 'x'), 1, 1, 1);  // no length word
    loop_.RunFor(100);
    EXPECT_TRUE(server_.Frames().empty() && slave_.Frames().empty());
    EXPECT_TRUE(ActivityTexts().empty());
    const std::string errors = ErrorLog();
    EXPECT_NE(errors.find("Error # 5 - Invalid procedure call"), std::string::npos);
    EXPECT_NE(errors.find("Error # 6 - Overflow"), std::string::npos);
    for (const char* location :
         {"Error Sending Salvo Execute", "Error Sending Gain Message", "Error Sending Relay Action",
          "Error Sending Crosspoint Change", "Error Sending Message to Switcher"})
        EXPECT_NE(errors.find(location), std::string::npos) << location;
}

TEST_F(Commands, ProtocolRepliesGoOnTheirOwnLinkOnly) {
    vars_.RecvBuffer[1] = FromHex("F5 81 64 64 FF");
    tcp_.ProcessReceived(1);
    tcp_.ProcessReceived(1);
    AwaitFrames(2);
    EXPECT_TRUE(server_.Frames().empty());
    EXPECT_EQ(Wire(slave_), (std::vector<std::string>{"F4", "81 7D 7D FF"}));
}

}  // namespace
}  // namespace qtx::test
