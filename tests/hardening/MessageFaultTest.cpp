// The whole engine sending a message event to an IP receiver that accepts and never reads: the
// execution ends in bounded time, the failure stands in both logs, and the events after it run.
// (A serial device that is gone is the message tests' link to nothing; the port is opened anew
// for every message, so a replacement device is used at the next one.)

#include "fixtures/Loopback.h"
#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

TEST(MessageFault, ReceiverThatNeverReadsHoldsTheEngineOnlyBrieflyAndLosesNoLaterEvent) {
    EngineHarness h{kMonday};
    h.clock.SetRealSleep(true);
    LoopbackListener stalled(4096);  // never accepted, a small buffer: soon takes no more
    ASSERT_EQ(::mkdir(h.dir.File("messages").c_str(), 0755), 0);
    const std::string big = h.dir.File("messages/big.txt");
    WriteWholeFile(big, std::string(8 << 20, 'b'));
    StartWith(h, {With(Event(1, 0, "09:00:01", "big"), {{"mcontrol", 3},
                                                        {"mtype", 1},
                                                        {"Message", big},
                                                        {"MIPAddress", "127.0.0.1"},
                                                        {"MIPPort", stalled.Port()}}),
                  Event(2, 0, "09:00:01", "chained"), Event(3, 0, "09:00:02", "later")});
    const auto start = std::chrono::steady_clock::now();
    h.TickAt(9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("big", "chained"));
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Sending Message to IP"));
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("big not executed - Unable to connect to IP"));
    h.TickAt(9, 0, 2);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("big", "chained", "later"));
}

}  // namespace
}  // namespace qtx::test
