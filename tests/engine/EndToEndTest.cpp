// The whole engine against the switcher simulator on 127.0.0.1, with the clock double: the
// frames the simulator receives, and the slave's loss. (Conditions following the switcher's
// take reports are the flood test's; their rule against a given map is the execution test's.)
#include "fixtures/SimEngine.h"

namespace qtx::test {
namespace {

using sim::ToHex;
using ::testing::ElementsAre;

// Command frames only: polls, poll answers and the map request left out.
std::vector<std::string> Commands(const sim::SwitcherSim& s) {
    std::vector<std::string> out;
    for (const auto& f : s.Frames()) {
        const auto code = static_cast<uint8_t>(f.Bytes[0]);
        if (code != 0xF5 && code != 0xF4 && code != 0xF2)
            out.push_back(ToHex(f.Bytes));
    }
    return out;
}

using EndToEndTest = SimEngineTest;

TEST_F(EndToEndTest, EveryActionReachesTheSwitcherOnceInOrder) {
    StartWith({With(Event(1, 0, "09:00:01", "all"), {{"xcontrol", 1},
                                                     {"SourceChan", 1},
                                                     {"DestChan", 2},
                                                     {"scontrol", 1},
                                                     {"Salvo", 1},
                                                     {"rcontrol", 1},
                                                     {"Relay", 1},
                                                     {"vcontrol", 1},
                                                     {"VChan", 1},
                                                     {"Gain", 100},
                                                     {"mcontrol", 1},
                                                     {"mtype", 3},
                                                     {"Message", "AB"},
                                                     {"MFrame", 1},
                                                     {"MSlot", 2},
                                                     {"MPort", 3}}),
               Event(2, 1, "09:00:00", "tuesday")});
    Second(9, 0, 1);
    Second(9, 0, 2);
    ASSERT_TRUE(WaitFor([&] { return Commands(sim_).size() >= 5; }));
    h.realLoop.RunFor(100);
    EXPECT_THAT(
        Commands(sim_),
        ElementsAre("FE 04 00 00 00 01 00 05 FF", "EA 64 00 00 64 FF", "FE 44 00 00 00 00 00 44 FF",
                    "E3 02 01 01 00 00 00 64 00 68 FF", "EC 00 01 02 03 02 00 41 00 42 00 0B FF"));
    EXPECT_THAT(h.ActivityMessages(),
                ElementsAre("Send Take - In:0001-->Out:0002", "Send Execute Salvo Number 1",
                            "Latch Relay #0001", "Source Gain Change Chan. 0000",
                            "Message sent to Switcher F01S02P03"));
    EXPECT_EQ(sim_.Matrix().at(1), std::vector<int>{0});
}

// The slave gets every command the server gets. While its process is gone (its port refuses)
// the server's frames still go out, the write on the missing link is reported once, and a
// restarted slave is reconnected by the tick and gets the next command.
TEST_F(EndToEndTest, SlaveGetsEveryCommandAndItsLossCostsTheServerNothing) {
    auto slave = std::make_unique<sim::SwitcherSim>(h.realLoop);
    const int slavePort = slave->Listen();
    StartWith({With(Event(1, 0, "09:00:01", "one"), {{"rcontrol", 3}, {"Relay", 3}}),
               With(Event(2, 0, "09:00:03", "two"), {{"scontrol", 1}, {"Salvo", 2}}),
               With(Event(3, 0, "09:00:05", "three"), {{"scontrol", 1}, {"Salvo", 1}}),
               Event(4, 1, "09:00:00", "tuesday")},
              "127.0.0.1", slavePort);
    ASSERT_TRUE(WaitFor([&] { return h.vars().SlaveSwitcherConnected; }));
    Second(9, 0, 1);
    ASSERT_TRUE(WaitFor([&] { return !Commands(*slave).empty(); }));
    EXPECT_THAT(Commands(*slave), ElementsAre("FE 48 00 00 00 02 00 4A FF"));
    slave.reset();
    ASSERT_TRUE(WaitFor([&] { return !h.vars().SlaveConnected; }));
    Second(9, 0, 2);  // its port refuses now; retried quietly
    Second(9, 0, 3);
    EXPECT_TRUE(h.vars().ServerConnected && h.vars().SwitcherConnected);
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error sending to switcher"));

    slave = std::make_unique<sim::SwitcherSim>(h.realLoop);
    slave->Listen(slavePort);
    h.TickAt(9, 0, 4);  // the tick reconnects the slave
    ASSERT_TRUE(WaitFor([&] { return h.vars().SlaveSwitcherConnected; }));
    Second(9, 0, 5);
    ASSERT_TRUE(WaitFor([&] { return !Commands(*slave).empty() && Commands(sim_).size() >= 3; }));
    EXPECT_THAT(Commands(*slave), ElementsAre("EA 64 00 00 64 FF"));
    EXPECT_THAT(Commands(sim_), ElementsAre("FE 48 00 00 00 02 00 4A FF", "EA 64 01 00 65 FF",
                                            "EA 64 00 00 64 FF"));
}

}  // namespace
}  // namespace qtx::test
