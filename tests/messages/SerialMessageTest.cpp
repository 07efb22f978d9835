// Serial messages through pseudo-terminals linked as COM<n> in the program folder: the line
// speed of each baud code, the bytes on the line, the log lines, and a failed send.
#include <gtest/gtest.h>

#include <future>

#include "messages/SerialSpeed.h"
#include "tests/messages/MessageFixture.h"
#include "tests/messages/PseudoTerminal.h"

namespace qtx::test {
namespace {

class SerialMessage : public MessageFixture {
  protected:
    SerialMessage() { com1_.LinkAs(dir.File("COM1")); }

    AutomationEvent& SerialEvent(const std::string& title, const std::string& message) {
        AutomationEvent& ev = CurrentEvent(title);
        ev.mcontrol = 1;
        ev.Message = message;
        ev.mtype = 2;
        ev.MCommPort = 0;
        ev.MBaudRate = 1;
        return ev;
    }

    PseudoTerminal com1_;
};

TEST_F(SerialMessage, EachBaudCodeSetsItsSpeed) {
    const std::pair<int32_t, uint32_t> codes[] = {{0, 2400},  {1, 9600},  {2, 14400},  {3, 19200},
                                                  {4, 28800}, {5, 57600}, {6, 115200}, {7, 128000},
                                                  {8, 57600}, {-1, 57600}};
    for (const auto& [code, baud] : codes) {
        SerialEvent("Serial", "ON AIR^M^J").MBaudRate = code;
        messages.SendMessageEvent();
        EXPECT_EQ(ReadLineSpeed(com1_.Slave()), baud) << code;
        EXPECT_EQ(com1_.Received(), "ON AIR\r\n") << code;
        EXPECT_EQ(Activity().back(), "Message Sent to comm:1") << code;
        EXPECT_FALSE(messages.Comm().PortOpen());
    }
    EXPECT_EQ(Activity().size(), std::size(codes));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SerialMessage, PortNumberIsMCommPortPlusOne) {
    PseudoTerminal com3;
    com3.LinkAs(dir.File("COM3"));
    SerialEvent("Third", "to three").MCommPort = 2;
    messages.SendMessageEvent();
    EXPECT_EQ(com3.Received(), "to three");
    EXPECT_EQ(com1_.Received(), "");
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to comm:3"});
}

TEST_F(SerialMessage, AnEmptyTextOpensClosesAndLogs) {
    SerialEvent("Empty", "ignored").mcontrol = 0;
    messages.SendMessageEvent();
    EXPECT_EQ(com1_.Received(), "");
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to comm:1"});
}

TEST_F(SerialMessage, APortThatDoesNotOpenIsRefused) {
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB4", dir.File("COM5").c_str()), 0);
    SerialEvent("Ticker", "x").MCommPort = 4;
    messages.SendMessageEvent();
    EXPECT_EQ(Activity(),
              std::vector<std::string>{"Ticker not executed - Unable to open Serial Port"});
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].first, "Error Sending Message to Serial");
    EXPECT_EQ(Errors()[0].second.rfind("Error # 8002 - ", 0), 0u) << Errors()[0].second;
}

TEST_F(SerialMessage, TheLongestTextGoesOutWholeAndALongerOneNotAtAll) {
    const std::string longest(32767, 'L');
    // Read while sending: the terminal holds only a few kilobytes for a reader.
    auto received = std::async(std::launch::async, [&] { return com1_.Received(500); });
    messages.SendSerialMessage(longest, 1, "115200");
    const std::string got = received.get();
    EXPECT_TRUE(got == longest) << got.size() << " characters arrived";
    EXPECT_EQ(Activity().back(), "Message Sent to comm:1");

    CurrentEvent("Long");
    messages.SendSerialMessage(longest + "L", 1, "115200");
    EXPECT_EQ(com1_.Received(), "");
    EXPECT_EQ(Activity().back(), "Long not executed - Unable to open Serial Port");
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].second, "Error # 6 - Overflow");
}

TEST_F(SerialMessage, AFailedSendDoesNotCarryTheNextMessageToItsPort) {
    PseudoTerminal com2;
    com2.LinkAs(dir.File("COM2"));
    CurrentEvent("Long");
    messages.SendSerialMessage(std::string(40000, 'L'), 1, "9600");
    ASSERT_EQ(Errors().size(), 1u);
    // The next message names port 2 at 19200 baud, and goes there at that speed.
    messages.SendSerialMessage("second", 2, "19200");
    EXPECT_EQ(com2.Received(), "second");
    EXPECT_EQ(ReadLineSpeed(com2.Slave()), 19200u);
    EXPECT_EQ(com1_.Received(), "");
    EXPECT_EQ(Activity().back(), "Message Sent to comm:2");
}

}  // namespace
}  // namespace qtx::test
