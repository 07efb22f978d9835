// Serial messages through pseudo-terminals linked as COM<n> in the program folder, and the
// serial layer's behaviour when the line does not take its output.
#include <termios.h>

#include <future>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "messages/SerialSpeed.h"
#include "tests/messages/MessageFixture.h"

namespace qtx::test {
namespace {

class SerialMessage : public MessageFixture {
  protected:
    SerialMessage() { com1_.LinkAs(dir.File("COM1")); }
    PseudoTerminal com1_;
};

TEST_F(SerialMessage, EachBaudCodeGivesItsSpeedAndEightBitsNoParityOneStop) {
    std::string all;  // every byte value, read from a file so it goes out undecoded
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    WriteWholeFile(dir.File("all.bin"), all);
    const std::pair<int32_t, uint32_t> codes[] = {{0, 2400},  {1, 9600},  {2, 14400},  {3, 19200},
                                                  {4, 28800}, {5, 57600}, {6, 115200}, {7, 128000},
                                                  {8, 57600}, {-1, 57600}};
    for (const auto& [code, baud] : codes) {
        AutomationEvent& ev = Current("Serial", 2, dir.File("all.bin"));
        ev.mcontrol = 3;
        ev.MBaudRate = code;
        messages.SendMessageEvent();
        EXPECT_EQ(ReadLineSpeed(com1_.Slave()), baud) << code;
        termios t{};
        ASSERT_EQ(::tcgetattr(com1_.Slave(), &t), 0);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(com1_.Received() == all) << code;  // no newline or 7-bit translation
        EXPECT_FALSE(messages.Comm().PortOpen());
    }
    EXPECT_EQ(Activity(), std::vector<std::string>(std::size(codes), "Message Sent to comm:1"));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SerialMessage, PortNumbersNameLinksThenSystemDevices) {
    PseudoTerminal com3;
    com3.LinkAs(dir.File("COM3"));
    Current("Third", 2, "three").MCommPort = 2;
    messages.SendMessageEvent();
    EXPECT_EQ(com3.Received(), "three");
    EXPECT_EQ(SerialDevicePath(dir.Path(), 2), "/dev/ttyS1");
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB4", dir.File("COM5").c_str()), 0);
    Current("Ticker", 2, "x").MCommPort = 4;  // a link to nothing is not passed over
    messages.SendMessageEvent();
    EXPECT_EQ(Activity(),
              (std::vector<std::string>{"Message Sent to comm:3",
                                        "Ticker not executed - Unable to open Serial Port"}));
    EXPECT_EQ(Errors(), (std::vector<std::pair<std::string, std::string>>{
                            {"Error Sending Message to Serial",
                             "Error # 8002 - Invalid port number: " + dir.File("COM5") +
                                 " (No such file or directory)"}}));
}

TEST_F(SerialMessage, ATooLongTextIsRefusedAndTheNextMessageUsesItsOwnPort) {
    auto received = std::async(std::launch::async, [&] { return com1_.Received(500); });
    messages.SendSerialMessage(std::string(32767, 'L'), 1, "115200");
    EXPECT_EQ(received.get().size(), 32767u);

    PseudoTerminal com2;
    com2.LinkAs(dir.File("COM2"));
    Current("Long", 2, "");
    messages.SendSerialMessage(std::string(32768, 'L'), 1, "9600");
    messages.SendSerialMessage("second", 2, "19200");
    EXPECT_EQ(com1_.Received(), "");
    EXPECT_EQ(com2.Received(), "second");
    EXPECT_EQ(ReadLineSpeed(com2.Slave()), 19200u);
    EXPECT_EQ(Activity(),
              (std::vector<std::string>{"Message Sent to comm:1",
                                        "Long not executed - Unable to open Serial Port",
                                        "Message Sent to comm:2"}));
    EXPECT_EQ(Errors().at(0).second, "Error # 6 - Overflow");
}

TEST_F(SerialMessage, AStalledLineNeitherBlocksOutputNorHoldsTheClose) {
    MSComm& comm = messages.Comm();
    comm.LinkFolder = dir.Path();
    comm.SetOutBufferSize(8);
    comm.SetPortOpen(true);
    ASSERT_EQ(::tcflow(com1_.Slave(), TCOOFF), 0);  // as a device holding the line off
    const auto start = std::chrono::steady_clock::now();
    comm.Output("12345678");
    EXPECT_THROW(comm.Output("9"), Fault);  // the buffer is full
    try {
        comm.SetPortOpen(false);
        FAIL() << "unsent output reported as sent";
    } catch (const Fault& f) {
        EXPECT_EQ(f.Number, faults::SerialWrite);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(MSComm::ClosingWaitMs - 10));
    EXPECT_LT(took, std::chrono::milliseconds(MSComm::ClosingWaitMs + 500));
    EXPECT_FALSE(comm.PortOpen());
    ASSERT_EQ(::tcflow(com1_.Slave(), TCOON), 0);
    EXPECT_EQ(com1_.Received(), "");  // dropped, not delivered late
}

}  // namespace
}  // namespace qtx::test
