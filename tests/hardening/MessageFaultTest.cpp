// The whole engine sending message events to receivers that fail: an IP receiver that accepts
// and never reads, and a serial device that vanishes. The execution ends in bounded time, the
// failure stands in both logs, and the events after it run.

#include "fixtures/Loopback.h"
#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

// A message event: over IP to 127.0.0.1:port when a port is given, else to serial port 1.
EventRow Message(int number, const std::string& time, const std::string& title,
                 const std::string& fileOrText, int port = 0, int mcontrol = 1) {
    return With(Event(number, 0, time, title), {{"mcontrol", mcontrol},
                                                {"mtype", port ? 1 : 2},
                                                {"Message", fileOrText},
                                                {"MIPAddress", "127.0.0.1"},
                                                {"MIPPort", port},
                                                {"MCommPort", 0},
                                                {"MBaudRate", 1}});
}

// The tick at hh:mm:ss ends within the time given.
void TickWithin(EngineHarness& h, int hh, int mm, int ss, std::chrono::seconds limit) {
    const auto start = std::chrono::steady_clock::now();
    h.TickAt(hh, mm, ss);
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
}

TEST(MessageFault, ReceiverThatNeverReadsHoldsTheEngineOnlyBrieflyAndLosesNoLaterEvent) {
    EngineHarness h{kMonday};
    h.clock.SetRealSleep(true);
    LoopbackListener stalled(4096);  // never accepted, a small buffer: soon takes no more
    ASSERT_EQ(::mkdir(h.dir.File("messages").c_str(), 0755), 0);
    const std::string big = h.dir.File("messages/big.txt");
    WriteWholeFile(big, std::string(8 << 20, 'b'));
    StartWith(h, {Message(1, "09:00:01", "big", big, stalled.Port(), 3),
                  Event(2, 0, "09:00:01", "chained"), Event(3, 0, "09:00:02", "later")});
    TickWithin(h, 9, 0, 1, std::chrono::seconds(10));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("big", "chained"));
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Sending Message to IP"));
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("big not executed - Unable to connect to IP"));
    h.TickAt(9, 0, 2);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("big", "chained", "later"));
}

TEST(MessageFault, VanishedSerialDeviceIsRefusedAndAReplacementIsUsedAtTheNextMessage) {
    EngineHarness h{kMonday};
    h.clock.SetRealSleep(true);
    auto pty = std::make_unique<PseudoTerminal>();
    const std::string link = h.dir.File("COM1");
    ASSERT_EQ(::symlink(pty->path.c_str(), link.c_str()), 0);
    StartWith(h, {Message(1, "09:00:01", "first", "ON AIR^M"), Message(2, "09:00:02", "gone", "x"),
                  Event(3, 0, "09:00:02", "chained"), Message(4, "09:00:03", "back", "OFF AIR^M")});
    h.TickAt(9, 0, 1);
    EXPECT_EQ(pty->Received(), "ON AIR\r");

    const std::string oldPath = pty->path;
    pty->Vanish();
    ASSERT_FALSE(std::filesystem::exists(oldPath));  // the fault is real: no device there
    TickWithin(h, 9, 0, 2, std::chrono::seconds(4));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("first", "gone", "chained"));
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Sending Message to Serial"));

    pty = std::make_unique<PseudoTerminal>();
    std::filesystem::remove(link);
    ASSERT_EQ(::symlink(pty->path.c_str(), link.c_str()), 0);
    h.TickAt(9, 0, 3);
    EXPECT_EQ(pty->Received(), "OFF AIR\r");
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("Message Sent to comm:1",
                                                  "gone not executed - Unable to open Serial Port",
                                                  "Message Sent to comm:1"));
}

}  // namespace
}  // namespace qtx::test
