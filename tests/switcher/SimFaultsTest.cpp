// The simulator's failures to switch, seen from a plain TCP client on 127.0.0.1: locked
// outputs, ignored commands, a wrong source, slow answers and missing reports, each set at start
// and through the text control.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "common/PollEventLoop.h"
#include "switcher/Frames.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

using sim::SimOptions;
using sim::SwitcherSim;

class SimFaults : public ::testing::Test {
  protected:
    void Start(SimOptions options = {}) {
        received_.clear();
        options.Outputs = 4;
        options.Inputs = 8;
        sim_ = std::make_unique<SwitcherSim>(loop_, options);
        const int port = sim_->Listen();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_TRUE(Receive(1));  // the announcement
        received_.clear();
    }
    ~SimFaults() override {
        if (fd_ >= 0)
            ::close(fd_);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Take(int source, int destination) {
        Send(frames::CrosspointFrame(frames::CmdTake, source, destination));
    }
    // Pumps the simulator until at least n bytes have arrived (false after ms).
    bool Receive(size_t n, int ms = 2000) {
        return loop_.RunUntil(
            [&] {
                char buf[512];
                const ssize_t got = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
                if (got > 0)
                    received_.append(buf, static_cast<size_t>(got));
                return received_.size() >= n;
            },
            ms);
    }
    // Runs the simulator for ms, collecting whatever arrives.
    void Settle(int ms = 150) { Receive(SIZE_MAX, ms); }
    std::vector<int> Carried(int output) const {
        return sim_->Matrix()[static_cast<size_t>(output)];
    }

    PollEventLoop loop_;
    std::unique_ptr<SwitcherSim> sim_;
    int fd_ = -1;
    std::string received_;
};

TEST_F(SimFaults, EachFailureChangesWhatIsSwitchedAndWhatIsReported) {
    struct Case {
        const char* name;
        const char* command;       // the control line that sets it at run time
        SimOptions start;          // the same at start
        std::vector<int> carried;  // output 1 after "take 3 -> 1"
        std::string report;        // what the client receives
    };
    SimOptions locked, ignoring, wrong, quiet;
    locked.Faults.LockedOutputs = {1};
    ignoring.Faults.IgnoreCrosspoints = true;
    wrong.Faults.WrongSource = 5;
    quiet.Faults.Reports = false;
    const std::string asked = frames::CrosspointFrame(frames::CmdTake, 2, 1);
    const std::vector<Case> cases = {
        {"none", "faults", {}, {2}, asked},
        // Refused: the answer is the crosspoint as it stands (output 1 carried source 1).
        {"locked", "lock 2", locked, {1}, frames::CrosspointFrame(frames::CmdTake, 1, 1)},
        {"ignored", "ignore", ignoring, {1}, ""},
        {"wrong source",
         "wrongsource 6",
         wrong,
         {5},
         frames::CrosspointFrame(frames::CmdTake, 5, 1)},
        {"no reports", "noreports", quiet, {2}, ""},
    };
    for (const Case& c : cases) {
        for (bool atStart : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (atStart ? " at start" : " by command"));
            Start(atStart ? c.start : SimOptions{});
            if (!atStart) {
                ASSERT_EQ(sim_->Command(c.command).substr(0, 2), "OK");
            }
            Take(2, 1);
            Settle();
            EXPECT_EQ(Carried(1), c.carried);
            EXPECT_EQ(sim::ToHex(received_), sim::ToHex(c.report));
            EXPECT_EQ(sim_->FramesWithCode(frames::Crosspoint).size(), 1u);  // always recorded
            ::close(fd_);
            fd_ = -1;
        }
    }
}

TEST_F(SimFaults, ALockedOrIgnoringSwitcherRefusesSumsTooAndTheMapShowsTheTruth) {
    Start();
    ASSERT_EQ(sim_->Command("lock 1,3"), "OK");
    Send(frames::CrosspointFrame(frames::CmdSumOn, 6, 0));
    Send(frames::CrosspointFrame(frames::CmdSumOff, 2, 2));
    Send(frames::CrosspointFrame(frames::CmdSumOn, 6, 1));  // output 2 is not locked
    Settle();
    EXPECT_EQ(Carried(0), std::vector<int>{0});
    EXPECT_EQ(Carried(2), std::vector<int>{2});
    EXPECT_EQ(Carried(1), (std::vector<int>{1, 6}));
    EXPECT_EQ(sim_->Command("faults"),
              "OK locked 1,3 ignore off wrongsource off delay 0 reports on");
    ASSERT_EQ(sim_->Command("unlock 1"), "OK");
    ASSERT_EQ(sim_->Command("ignore"), "OK");
    Send(frames::CrosspointFrame(frames::CmdSumOff, 6, 1));
    Settle();
    EXPECT_EQ(Carried(1), (std::vector<int>{1, 6}));
    // The map answers whatever the matrix holds.
    received_.clear();
    Send(frames::InfoRequestFrame(frames::MapRequestSelector));
    ASSERT_TRUE(Receive(sim_->MapMessages()[0].size()));
    EXPECT_EQ(received_, sim_->MapMessages()[0]);
    // A take made at the panel (the control's take) is not refused.
    ASSERT_EQ(sim_->Command("take 4 3"), "OK");
    EXPECT_EQ(Carried(2), std::vector<int>{3});
    ASSERT_EQ(sim_->Command("unlock"), "OK");
    ASSERT_EQ(sim_->Command("obey"), "OK");
    EXPECT_EQ(sim_->Command("faults"),
              "OK locked none ignore off wrongsource off delay 0 reports on");
}

TEST_F(SimFaults, ASlowSwitcherActsAndAnswersLateInTheOrderReceived) {
    SimOptions slow;
    slow.Faults.AnswerDelayMs = 300;
    Start(slow);
    using namespace std::chrono;
    const auto sent = steady_clock::now();
    Send(frames::SingleByte(frames::Poll));
    Take(2, 1);
    Take(3, 1);
    Settle(100);
    EXPECT_EQ(received_, "");  // nothing acted on yet
    EXPECT_EQ(Carried(1), std::vector<int>{1});
    const std::string expected = frames::SingleByte(frames::Online) +
                                 frames::CrosspointFrame(frames::CmdTake, 2, 1) +
                                 frames::CrosspointFrame(frames::CmdTake, 3, 1);
    ASSERT_TRUE(Receive(expected.size(), 3000));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - sent).count(), 290);
    EXPECT_EQ(sim::ToHex(received_), sim::ToHex(expected));
    EXPECT_EQ(Carried(1), std::vector<int>{3});
    // Back to prompt answers; the recorded frames kept their arrival times.
    ASSERT_EQ(sim_->Command("delay 0"), "OK");
    received_.clear();
    Take(4, 1);
    ASSERT_TRUE(Receive(9, 200));
    EXPECT_EQ(Carried(1), std::vector<int>{4});
}

TEST_F(SimFaults, BadControlLinesAreRefusedAndChangeNothing) {
    Start();
    for (const char* line : {"lock", "lock 0", "lock 1,x", "unlock 2,", "wrongsource 0",
                             "wrongsource", "delay", "delay -5", "delay 700000"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(sim_->Command(line).substr(0, 3), "ERR");
    }
    EXPECT_EQ(sim_->Command("faults"),
              "OK locked none ignore off wrongsource off delay 0 reports on");
    ASSERT_EQ(sim_->Command("wrongsource 2"), "OK");
    ASSERT_EQ(sim_->Command("wrongsource off"), "OK");
    EXPECT_EQ(sim_->Faults().WrongSource, -1);
}

}  // namespace
}  // namespace qtx::test
