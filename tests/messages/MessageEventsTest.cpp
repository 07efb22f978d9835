// The message events against real logs in a temporary program folder, a poll loop, unconnected
// switcher links and the clock double sleeping for real: caret decoding, which sender an event
// reaches, what a fault while preparing the text leaves in the logs; IP messages to a listener on
// 127.0.0.1 (what arrives, what is logged, the waits) and how their text is cut into writes,
// against a socket double that decides how much each write takes (a real receiver that stops
// taking data is a hardening test's); serial messages through pseudo-terminals linked as COM<n>
// in the program folder, and the serial layer's behaviour when the line does not take its
// output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <future>

#include "common/PollEventLoop.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/Loopback.h"
#include "fixtures/TempDir.h"
#include "messages/CaretText.h"
#include "messages/MessageEvents.h"
#include "messages/PieceWriter.h"
#include "messages/SerialSpeed.h"
#include "switcher/TcpComm.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {
namespace {

using Lines = std::vector<std::string>;

class Messages : public ::testing::Test {
  protected:
    Messages() {
        vars.AppDir = dir.Path();
        clock.SetRealSleep(true);
        com1.LinkAs(dir.File("COM1"));
    }
    // Makes a fresh event the only and current one (over IP to 127.0.0.1:port).
    AutomationEvent& Current(const std::string& title, int16_t mtype, const std::string& text,
                             int32_t port = 0, int16_t mcontrol = 1) {
        vars.EventTable.assign(1, AutomationEvent{});
        vars.NextEventIndex = 0;
        AutomationEvent& ev = vars.EventTable[0];
        std::tie(ev.Title, ev.mtype, ev.mcontrol, ev.Message, ev.MIPPort) =
            std::tie(title, mtype, mcontrol, text, port);
        ev.MIPAddress = "127.0.0.1";
        return ev;
    }
    // A file in the program folder's messages/ of n raw bytes (a caret pair, then every byte
    // value again and again); returns its contents.
    std::string RawFile(size_t n) {
        std::string bytes = "^M";
        for (int i = 0; bytes.size() < n; ++i)
            bytes += static_cast<char>(i * 7);
        ::mkdir(dir.File("messages").c_str(), 0755);
        WriteWholeFile(dir.File("messages/message.bin"), bytes);
        return bytes;
    }
    // Log entries after the header: activity messages; errors as "location: fault text".
    std::vector<std::string> Activity() const { return Entries("Tally.Dat", 35); }
    std::vector<std::string> Entries(const std::string& name, size_t from) const {
        std::vector<std::string> out = LogLinesAfterHeader(dir.File(name));
        for (std::string& e : out)
            e = e.substr(std::min(from, e.size()));
        return out;
    }
    std::vector<std::string> Errors() const {
        std::vector<std::string> out = Entries("Errorlog.txt", 24);
        for (std::string& e : out)  // the location fills 36 columns
            e = e.substr(0, e.find_last_not_of(' ', 35) + 1) + ": " + e.substr(36);
        return out;
    }

    TempDir dir;
    Variables vars;
    FakeClock clock{LocalDateTime{2026, 12, 7, 9, 0, 0}};
    PollEventLoop loop;
    Logs logs{vars, clock};
    RecordingMainWindow view;
    TcpComm tcp{vars, logs, view, loop};
    MessageEvents messages{vars, logs, clock, loop, tcp};
    PseudoTerminal com1;
};

TEST(CaretText, EscapesCodes64To95AndLeavesEveryOtherCaret) {
    EXPECT_EQ(DecodeCarets("ON AIR^M^J"), "ON AIR\r\n");
    EXPECT_EQ(DecodeCarets("^[^_^\\"), "\x1b\x1f\x1c");
    EXPECT_EQ(DecodeCarets("a^@b"), std::string("a\0b", 3));
    EXPECT_EQ(DecodeCarets("^ a^ ^a ^1 ^? ^` ^\xC1 ^"), "^ a^ ^a ^1 ^? ^` ^\xC1 ^");
    EXPECT_EQ(DecodeCarets("^^"), "\x1e");  // the pair is consumed, not read again
    EXPECT_EQ(DecodeCarets("^^^M"), "\x1e\r");
}

TEST_F(Messages, EachMtypeReachesItsSenderOnly) {
    LoopbackListener listener;
    for (int16_t mtype : {0, 4, -1}) {
        Current("Nothing", mtype, "x", listener.Port());
        messages.SendMessageEvent();
    }
    // A baud code beyond 16 bits faults for a serial message only.
    Current("Serial", 2, "x", listener.Port()).MBaudRate = 32768;
    messages.SendMessageEvent();
    vars.EventTable[0].mtype = 1;
    messages.SendMessageEvent();
    EXPECT_EQ(listener.Next(), "x");
    EXPECT_EQ(listener.Next(), "<none>");
    AutomationEvent& display = Current("Display", 3, "AB");
    std::tie(display.MFrame, display.MSlot, display.MPort) = std::tuple(1, 2, 3);
    messages.SendMessageEvent();
    vars.NextEventIndex = 1;  // outside the table
    messages.SendMessageEvent();
    EXPECT_EQ(Activity(),
              (Lines{"Message Sent to 127.0.0.1", "Message sent to Switcher F01S02P03"}));
    EXPECT_EQ(Errors(), (Lines{"Error Sending Message Event: Error # 6 - Overflow",
                               "Error sending to switcher: Error # 24057 - Socket is not connected",
                               "Error Sending Message Event: Error # 9 - Subscript out of range"}));
}

TEST_F(Messages, TheTextOrTheFileArrivesWholeAndAFileThatCannotBeReadSendsNothing) {
    LoopbackListener listener;
    const std::string bytes = RawFile(40000);  // file contents go out raw, carets included
    ASSERT_EQ(::mkdir(dir.File("messages/folder").c_str(), 0755), 0);
    // mcontrol 1: the text with carets decoded; 3: a file's contents; 2: an empty text, which
    // still connects.
    for (auto [mcontrol, text, expected] :
         std::vector<std::tuple<int16_t, std::string, std::string>>{
             {1, "ON AIR^M^J", "ON AIR\r\n"},
             {3, dir.File("messages/message.bin"), bytes},
             {2, "ON AIR", ""},
             {3, dir.File("messages/absent.txt"), "<none>"},
             {3, dir.File("messages/folder"), "<none>"}}) {
        Current("News", 1, text, listener.Port(), mcontrol);
        messages.SendMessageEvent();
        EXPECT_TRUE(listener.Next() == expected) << text;
    }
    EXPECT_EQ(Activity(), Lines(3, "Message Sent to 127.0.0.1"));
    EXPECT_EQ(Errors(),
              (Lines{"Error Sending Message Event: Error # 53 - File not found",
                     "Error Sending Message Event: Error # 75 - Path/File access error"}));
}

TEST_F(Messages, ARefusedConnectionSendsNothingAfterWaitsThatRunTheLoopAcrossAWrap) {
    Current("Refused", 1, "");
    const int32_t port = LoopbackListener::RefusingPort();
    int firings = 0;
    loop.AddTimer(10, -1, [&] { ++firings; });
    for (uint32_t start : {0x7FFFFFC0u, 0xFFFFFFC0u}) {
        clock.SetTickCount(start);
        firings = 0;
        messages.SendIPMessage("hello", "127.0.0.1", port);  // one piece: logged as sent
        EXPECT_EQ(clock.TickCount() - start, 2 * MessageEvents::IpSettleMs);
        EXPECT_GT(firings, 5);
    }
    messages.SendIPMessage(std::string(20000, 'x'), "127.0.0.1", port);  // more: nothing logged
    messages.SendIPMessage("hello", "no-address", port);
    EXPECT_EQ(Activity(), (Lines{"Message Sent to 127.0.0.1", "Message Sent to 127.0.0.1",
                                 "Message Sent to no-address"}));
    EXPECT_TRUE(Errors().empty());
}

// Takes at most `limit` characters a write and is full for holdMs after each write.
struct ScriptedSocket {
    ScriptedSocket(FakeClock& c, int32_t most, uint32_t hold = 0)
        : clock(c), limit(most), holdMs(hold), freeAt(c.TickCount()) {}
    bool IsWritable() const { return clock.TickCount() - freeAt < 0x80000000u; }
    bool IsConnected() const { return true; }
    int32_t Write(const std::string& buffer, int32_t length) {
        lengths.push_back(length);
        freeAt = clock.TickCount() + holdMs;
        received += buffer.substr(0, static_cast<size_t>(sent = std::min(length, limit)));
        return sent;
    }
    int32_t BytesSent() const { return sent; }

    FakeClock& clock;
    int32_t limit;
    uint32_t holdMs, freeAt;
    std::vector<int32_t> lengths;  // of each write, in order
    std::string received;
    int32_t sent = 0;
};

// n characters that tell their position: a reordered or repeated piece shows.
std::string Text(size_t n) {
    std::string t(n, 'a');
    for (size_t i = 0; i < n; ++i)
        t[i] = static_cast<char>('a' + i % 26);
    return t;
}

TEST(PieceWriting, FullPiecesWhileMoreThanOneIsLeftAndAStallIsBoundedSinceTheLastProgress) {
    FakeClock clock;
    PollEventLoop loop;
    const std::string text = Text(40000);
    // A socket taking everything, one taking up to 7000 a write, and an empty text.
    for (auto [limit, size, expected] :
         std::vector<std::tuple<int32_t, size_t, std::vector<int32_t>>>{
             {1 << 30, 40000, {16384, 16384, 7232}},
             {7000, 40000, {16384, 16384, 16384, 16384, 12000, 5000}},
             {1 << 30, 0, {0}}}) {
        ScriptedSocket socket(clock, limit);
        EXPECT_EQ(WriteInPieces(socket, text.substr(0, size), clock, loop), PieceOutcome::Written);
        EXPECT_EQ(socket.lengths, expected);
        EXPECT_TRUE(socket.received == text.substr(0, size));
    }
    EXPECT_EQ(clock.TickCount(), 0u);  // no waiting

    // A receiver taking nothing is given up on after the limit, even across a wrap.
    ScriptedSocket none(clock, 0);
    clock.SetTickCount(0xFFFFFF00u);
    EXPECT_THAT([&] { WriteInPieces(none, Text(20000), clock, loop); },
                testing::Throws<Fault>(testing::Field(&Fault::Number, faults::SocketTimedOut)));
    EXPECT_EQ(clock.TickCount() - 0xFFFFFF00u, IpStallLimitMs);

    // Progress restarts the limit: a buffer that is full for 1500 ms after each write of
    // 10000 characters is waited for, though the whole takes longer than the limit.
    ScriptedSocket slow(clock, 10000, 1500);
    const uint32_t start = clock.TickCount();
    EXPECT_EQ(WriteInPieces(slow, Text(40000), clock, loop), PieceOutcome::Written);
    EXPECT_TRUE(slow.received == Text(40000));
    EXPECT_EQ(clock.TickCount() - start, 3 * 1500u);
}

TEST_F(Messages, EachBaudCodeGivesItsSpeedAndEightBitsNoParityOneStop) {
    const std::string all = RawFile(258);  // read from a file so it goes out undecoded
    const std::pair<int32_t, uint32_t> codes[] = {{0, 2400},  {1, 9600},  {2, 14400},  {3, 19200},
                                                  {4, 28800}, {5, 57600}, {6, 115200}, {7, 128000},
                                                  {8, 57600}, {-1, 57600}};
    for (const auto& [code, baud] : codes) {
        Current("Serial", 2, dir.File("messages/message.bin"), 0, 3).MBaudRate = code;
        messages.SendMessageEvent();
        EXPECT_EQ(ReadLineSpeed(com1.slave), baud) << code;
        termios t{};
        ASSERT_EQ(::tcgetattr(com1.slave, &t), 0);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(com1.Received() == all) << code;  // no newline or 7-bit translation
        EXPECT_FALSE(messages.Comm().PortOpen());
    }
    EXPECT_EQ(Activity(), Lines(std::size(codes), "Message Sent to comm:1"));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(Messages, PortNumbersNameLinksAndEachMessageUsesItsOwnPortAndLength) {
    auto received = std::async(std::launch::async, [&] { return com1.Received(500); });
    messages.SendSerialMessage(std::string(32767, 'L'), 1, "115200");
    EXPECT_EQ(received.get().size(), 32767u);
    PseudoTerminal com3;
    com3.LinkAs(dir.File("COM3"));
    Current("Long", 2, "");
    messages.SendSerialMessage(std::string(32768, 'L'), 1, "9600");  // refused, port closed
    Current("Third", 2, "three").MCommPort = 2;
    messages.SendMessageEvent();
    EXPECT_EQ(com1.Received(), "");
    EXPECT_EQ(com3.Received(), "three");
    EXPECT_EQ(ReadLineSpeed(com3.slave), 2400u);
    EXPECT_EQ(SerialDevicePath(dir.Path(), 2), "/dev/ttyS1");
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB4", dir.File("COM5").c_str()), 0);
    Current("Ticker", 2, "x").MCommPort = 4;  // a link to nothing is not passed over
    messages.SendMessageEvent();
    EXPECT_EQ(
        Activity(),
        (Lines{"Message Sent to comm:1", "Long not executed - Unable to open Serial Port",
               "Message Sent to comm:3", "Ticker not executed - Unable to open Serial Port"}));
    EXPECT_EQ(Errors(),
              (Lines{"Error Sending Message to Serial: Error # 6 - Overflow",
                     "Error Sending Message to Serial: Error # 8002 - Invalid port number: " +
                         dir.File("COM5") + " (No such file or directory)"}));
}

TEST_F(Messages, AStalledLineNeitherBlocksOutputNorHoldsTheClose) {
    MSComm& comm = messages.Comm();
    comm.LinkFolder = dir.Path();
    comm.SetOutBufferSize(8);
    comm.SetPortOpen(true);
    ASSERT_EQ(::tcflow(com1.slave, TCOOFF), 0);  // as a device holding the line off
    const auto start = std::chrono::steady_clock::now();
    comm.Output("12345678");
    EXPECT_THROW(comm.Output("9"), Fault);         // the buffer is full
    EXPECT_THAT([&] { comm.SetPortOpen(false); },  // unsent output is not reported as sent
                testing::Throws<Fault>(testing::Field(&Fault::Number, faults::SerialWrite)));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(MSComm::ClosingWaitMs + 500));
    EXPECT_FALSE(comm.PortOpen());
    ASSERT_EQ(::tcflow(com1.slave, TCOON), 0);
    EXPECT_EQ(com1.Received(), "");  // dropped, not delivered late
}

}  // namespace
}  // namespace qtx::test
