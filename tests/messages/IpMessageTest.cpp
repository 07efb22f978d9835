// IP messages to receivers on 127.0.0.1: what arrives, what is logged, and how long the sender
// waits for a connection that refuses, completes late or stops taking data.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/messages/LocalReceiver.h"
#include "tests/messages/MessageFixture.h"

namespace qtx::test {
namespace {

using IpMessage = MessageFixture;

std::string AllBytes(size_t n) {
    std::string t;
    for (size_t i = 0; i < n; ++i)
        t += static_cast<char>(i * 7 % 256);
    return t;
}

TEST_F(IpMessage, DecodedTextArrivesAndOnlyTheAddressIsLogged) {
    LocalReceiver receiver;
    AutomationEvent& ev = CurrentEvent("News");
    ev.mcontrol = 1;
    ev.Message = "ON AIR^M^J";
    ev.mtype = 1;
    ev.MIPAddress = "127.0.0.1";
    ev.MIPPort = receiver.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(receiver.NextMessage(), "ON AIR\r\n");
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to 127.0.0.1"});
    EXPECT_TRUE(Errors().empty());
}

TEST_F(IpMessage, A40000ByteFileArrivesWholeAndUndecoded) {
    LocalReceiver receiver;
    const std::string contents = "^M^J" + AllBytes(40000 - 4);
    WriteWholeFile(dir.File("message.bin"), contents);
    AutomationEvent& ev = CurrentEvent("File");
    ev.mcontrol = 3;
    ev.Message = dir.File("message.bin");
    ev.mtype = 1;
    ev.MIPAddress = "127.0.0.1";
    ev.MIPPort = receiver.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(receiver.NextMessage(), contents);
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to 127.0.0.1"});
}

TEST_F(IpMessage, AnEmptyTextStillConnectsAndIsLogged) {
    LocalReceiver receiver;
    AutomationEvent& ev = CurrentEvent("Empty");
    ev.mcontrol = 2;
    ev.Message = "ignored";
    ev.mtype = 1;
    ev.MIPAddress = "127.0.0.1";
    ev.MIPPort = receiver.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(receiver.NextMessage(), "");
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to 127.0.0.1"});
}

TEST_F(IpMessage, ARefusedConnectionSendsNothing) {
    CurrentEvent("Refused");
    const int32_t port = LocalReceiver::RefusingPort();
    // A text of one piece: the sender goes on and logs as if sent.
    messages.SendIPMessage("hello", "127.0.0.1", port);
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message Sent to 127.0.0.1"});
    // More than one piece: it stops before the first write and logs nothing.
    messages.SendIPMessage(std::string(20000, 'x'), "127.0.0.1", port);
    EXPECT_EQ(Activity().size(), 1u);
    // An address that cannot be connected to at all behaves the same.
    messages.SendIPMessage("hello", "not-an-address", port);
    EXPECT_EQ(Activity().back(), "Message Sent to not-an-address");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(IpMessage, BothWaitsRunTheLoopAndEndAcrossAWrapOfTheTickCounter) {
    CurrentEvent("Wrap");
    int firings = 0;
    loop.AddTimer(10, -1, [&] { ++firings; });
    for (uint32_t start : {0x7FFFFFC0u, 0xFFFFFFC0u}) {
        clock.SetTickCount(start);
        firings = 0;
        messages.SendIPMessage("x", "127.0.0.1", LocalReceiver::RefusingPort());
        EXPECT_EQ(clock.TickCount() - start, 2 * MessageEvents::IpSettleMs) << start;
        EXPECT_GT(firings, 5) << start;
    }
}

TEST_F(IpMessage, AReceiverThatNeverReadsIsGivenUpOnInBoundedTime) {
    LocalReceiver stalled(LocalReceiver::Mode::NeverRead);
    CurrentEvent("Big");
    const auto start = std::chrono::steady_clock::now();
    messages.SendIPMessage(std::string(4 << 20, 'z'), "127.0.0.1", stalled.Port());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(stalled.Accepted(), 1);
    EXPECT_EQ(Activity(), std::vector<std::string>{"Big not executed - Unable to connect to IP"});
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].first, "Error Sending Message to IP");
    EXPECT_EQ(Errors()[0].second.rfind("Error # 24060 - ", 0), 0u) << Errors()[0].second;

    // The next message gets a connection of its own.
    LocalReceiver receiver;
    messages.SendIPMessage("after", "127.0.0.1", receiver.Port());
    EXPECT_EQ(receiver.NextMessage(), "after");
    EXPECT_EQ(Activity().back(), "Message Sent to 127.0.0.1");
}

}  // namespace
}  // namespace qtx::test
