// The serial port layer against pseudo-terminals: device naming, line settings and speeds as
// the kernel reports them, bytes on the line, and the faults of each failing step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <chrono>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "fixtures/TempDir.h"
#include "messages/MSComm.h"
#include "messages/SerialSpeed.h"
#include "tests/messages/PseudoTerminal.h"

namespace qtx {
namespace {

using test::PseudoTerminal;
using test::TempDir;

int32_t FaultOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.Number;
    }
    return 0;
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        pty_.LinkAs(dir_.File("COM1"));
        comm_.LinkFolder = dir_.Path();
        comm_.SetCommPort(1);
    }
    TempDir dir_;
    PseudoTerminal pty_;
    MSComm comm_;
};

TEST(SerialDevicePath, LinkInTheFolderComesBeforeTheSystemDevice) {
    TempDir dir;
    EXPECT_EQ(SerialDevicePath(dir.Path(), 1), "/dev/ttyS0");
    EXPECT_EQ(SerialDevicePath(dir.Path(), 12), "/dev/ttyS11");
    EXPECT_EQ(SerialDevicePath("", 3), "/dev/ttyS2");
    // A link whose target is missing still names the port, so the open reports it.
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB9", dir.File("COM3").c_str()), 0);
    EXPECT_EQ(SerialDevicePath(dir.Path(), 3), dir.File("COM3"));
    EXPECT_EQ(SerialDevicePath(dir.Path(), 4), "/dev/ttyS3");
}

TEST(SerialSettingsText, ParsesAndRefusesMalformedTexts) {
    const SerialSettings s = ParseSerialSettings("128000,n,8,1");
    EXPECT_EQ(s.Baud, 128000u);
    EXPECT_EQ(s.Parity, 'n');
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.StopBits, 1);
    EXPECT_EQ(ParseSerialSettings("9600,E,7,2").Parity, 'e');
    for (const char* bad : {"", "9600", "9600,n,8", "9600,n,8,1,1", "x,n,8,1", "9600,q,8,1",
                            "9600,n,9,1", "9600,n,8,3", "-9600,n,8,1", ",n,8,1"})
        EXPECT_EQ(FaultOf([&] { ParseSerialSettings(bad); }), faults::SerialSettings) << bad;
}

TEST(SerialSpeedCheck, ToleratesOnlyWhatAReceiverTolerates) {
    EXPECT_TRUE(SpeedMatches(128000, 128000));
    EXPECT_TRUE(SpeedMatches(128000, 127000));
    EXPECT_FALSE(SpeedMatches(128000, 115200));
    EXPECT_FALSE(SpeedMatches(9600, 0));
}

TEST_F(SerialPort, OpensAtEachMessageSpeedWithEightBitsNoParityOneStop) {
    for (uint32_t baud : {2400u, 9600u, 14400u, 19200u, 28800u, 57600u, 115200u, 128000u}) {
        comm_.SetSettings(std::to_string(baud) + ",n,8,1");
        comm_.SetPortOpen(true);
        ASSERT_TRUE(comm_.PortOpen());
        // Read through the test's own descriptor: the kernel's view of the line.
        EXPECT_EQ(ReadLineSpeed(pty_.Slave()), baud);
        termios t{};
        ASSERT_EQ(::tcgetattr(pty_.Slave(), &t), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << baud;
        EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) << baud;
        EXPECT_FALSE(t.c_iflag & (IXON | IXOFF)) << baud;
        comm_.SetPortOpen(false);
        EXPECT_FALSE(comm_.PortOpen());
    }
}

TEST_F(SerialPort, EveryByteGoesOutUnchanged) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    comm_.SetSettings("9600,n,8,1");
    comm_.SetPortOpen(true);
    for (char c : all)
        comm_.Output(std::string(1, c));
    comm_.SetPortOpen(false);
    // No newline translation, no 7-bit stripping.
    EXPECT_EQ(pty_.Received(), all);
}

TEST_F(SerialPort, EachFailingStepHasItsFault) {
    EXPECT_EQ(FaultOf([&] { comm_.Output("x"); }), faults::SerialNotOpen);
    EXPECT_EQ(FaultOf([&] { comm_.SetCommPort(0); }), faults::SerialInvalidPort);
    EXPECT_EQ(FaultOf([&] { comm_.SetInBufferSize(0); }), faults::InvalidProcedureCall);
    EXPECT_EQ(FaultOf([&] { comm_.SetSettings("9600,n,8"); }), faults::SerialSettings);
    EXPECT_EQ(comm_.Settings(), "9600,n,8,1");  // a refused text leaves the old one

    comm_.SetPortOpen(true);
    EXPECT_EQ(FaultOf([&] { comm_.SetPortOpen(true); }), faults::SerialPortOpen);
    EXPECT_EQ(FaultOf([&] { comm_.SetCommPort(2); }), faults::SerialPortOpen);
    comm_.SetPortOpen(false);
    comm_.SetPortOpen(false);  // closing a closed port does nothing

    comm_.SetCommPort(2);  // no COM2 in the folder, and no /dev/ttyS1 of ours
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB0", dir_.File("COM2").c_str()), 0);
    EXPECT_EQ(FaultOf([&] { comm_.SetPortOpen(true); }), faults::SerialInvalidPort);
    test::WriteWholeFile(dir_.File("COM3"), "not a device");
    comm_.SetCommPort(3);
    EXPECT_EQ(FaultOf([&] { comm_.SetPortOpen(true); }), faults::SerialDeviceUnavailable);
    EXPECT_FALSE(comm_.PortOpen());
}

TEST_F(SerialPort, AStalledLineNeitherBlocksOutputNorHoldsTheClose) {
    comm_.SetOutBufferSize(8);
    comm_.SetPortOpen(true);
    // Suspend the line's output, as a device holding it off would.
    ASSERT_EQ(::tcflow(pty_.Slave(), TCOOFF), 0);
    const auto start = std::chrono::steady_clock::now();
    comm_.Output("12345678");
    EXPECT_EQ(comm_.PendingOutput(), 8u);
    EXPECT_EQ(FaultOf([&] { comm_.Output("9"); }), faults::SerialWrite);  // buffer full

    EXPECT_EQ(FaultOf([&] { comm_.SetPortOpen(false); }), faults::SerialWrite);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(comm_.PortOpen());
    EXPECT_GE(took, std::chrono::milliseconds(MSComm::ClosingWaitMs - 10));
    EXPECT_LT(took, std::chrono::milliseconds(MSComm::ClosingWaitMs + 1000));

    // What was held back was dropped, not delivered later; the port opens again afterwards.
    ASSERT_EQ(::tcflow(pty_.Slave(), TCOON), 0);
    EXPECT_EQ(pty_.Received(), "");
    comm_.SetPortOpen(true);
    comm_.Output("ok");
    comm_.SetPortOpen(false);
    EXPECT_EQ(pty_.Received(), "ok");
}

}  // namespace
}  // namespace qtx
