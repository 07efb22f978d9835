// IP messages to listeners on 127.0.0.1: what arrives, what is logged, and how long the sender
// waits for connections that are refused or that stop taking data.
#include "tests/messages/MessageFixture.h"

namespace qtx::test {
namespace {

using IpMessage = MessageFixture;

TEST_F(IpMessage, TextArrivesAndOnlyTheAddressIsLogged) {
    Listener listener;
    Current("News", 1, "ON AIR^M^J").MIPPort = listener.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(listener.NextMessage(), "ON AIR\r\n");

    std::string bytes = "^M";  // file contents go out raw, carets included
    for (int i = 0; bytes.size() < 40000; ++i)
        bytes += static_cast<char>(i * 7);
    WriteWholeFile(dir.File("message.bin"), bytes);
    AutomationEvent& file = Current("File", 1, dir.File("message.bin"));
    file.mcontrol = 3;
    file.MIPPort = listener.Port();
    messages.SendMessageEvent();
    EXPECT_TRUE(listener.NextMessage() == bytes);

    Current("Empty", 1, "ignored").mcontrol = 2;  // an empty text still connects
    vars.EventTable[0].MIPPort = listener.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(listener.NextMessage(), "");
    EXPECT_EQ(Activity(), std::vector<std::string>(3, "Message Sent to 127.0.0.1"));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(IpMessage, ARefusedConnectionSendsNothing) {
    Current("Refused", 1, "");
    const int32_t port = Listener::RefusingPort();
    messages.SendIPMessage("hello", "127.0.0.1", port);  // one piece: logged as sent
    messages.SendIPMessage(std::string(20000, 'x'), "127.0.0.1", port);  // more: nothing logged
    messages.SendIPMessage("hello", "no-address", port);
    EXPECT_EQ(Activity(), (std::vector<std::string>{"Message Sent to 127.0.0.1",
                                                    "Message Sent to no-address"}));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(IpMessage, BothWaitsRunTheLoopAndEndAcrossAWrapOfTheTickCounter) {
    Current("Wrap", 1, "");
    int firings = 0;
    loop.AddTimer(10, -1, [&] { ++firings; });
    for (uint32_t start : {0x7FFFFFC0u, 0xFFFFFFC0u}) {
        clock.SetTickCount(start);
        firings = 0;
        messages.SendIPMessage("x", "127.0.0.1", Listener::RefusingPort());
        EXPECT_EQ(clock.TickCount() - start, 2 * MessageEvents::IpSettleMs);
        EXPECT_GT(firings, 5);
    }
}

TEST_F(IpMessage, AReceiverThatStopsTakingDataIsGivenUpOnInBoundedTime) {
    Listener stalled(4096);
    Current("Big", 1, "");
    const auto start = std::chrono::steady_clock::now();
    messages.SendIPMessage(std::string(4 << 20, 'z'), "127.0.0.1", stalled.Port());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(Activity(), std::vector<std::string>{"Big not executed - Unable to connect to IP"});
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].first, "Error Sending Message to IP");
    EXPECT_EQ(Errors()[0].second.substr(0, 16), "Error # 24060 - ");

    Listener next;  // the next message gets a connection of its own
    messages.SendIPMessage("after", "127.0.0.1", next.Port());
    EXPECT_EQ(next.NextMessage(), "after");
}

}  // namespace
}  // namespace qtx::test
