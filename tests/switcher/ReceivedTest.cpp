// Received-message handling on a real link: one message per call, resynchronisation, maps and
// take reports, polls and queries answered on the wire.
#include <gtest/gtest.h>

#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

using sim::FromHex;
using sim::ToHex;

sim::SimOptions Quiet() {
    sim::SimOptions o;
    o.Announce = false;  // the test feeds the receive buffer itself
    return o;
}

// A map message for outputs d .. d + blocks.size() - 1; each block lists (source, attr) pairs.
std::string MapMessage(int d, const std::vector<std::vector<std::pair<int, int>>>& blocks) {
    std::string m = frames::SingleByte(frames::Map);
    m.push_back(0);
    AppendWord(m, static_cast<int64_t>(blocks.size()));
    AppendWord(m, d);
    for (const auto& b : blocks) {
        AppendWord(m, static_cast<int64_t>(b.size()));
        m.push_back(0);
        for (auto [s, a] : b) {
            AppendWord(m, s);
            AppendWord(m, a);
        }
    }
    return frames::Finish(m);
}

class Received : public LinkHarness {
  protected:
    Received() : LinkHarness(Quiet()) {}
    void SetUp() override {
        StartAndWait(false);
        ASSERT_TRUE(Until([&] { return server_.ClientCount() == 1; }));
    }
    void Feed(const std::string& bytes) { vars_.RecvBuffer[0] += bytes; }
    std::string& Buffer() { return vars_.RecvBuffer[0]; }
    std::vector<std::string> Got(size_t count) {
        Until([&] { return server_.Frames().size() >= count; }, 2000);
        std::vector<std::string> out;
        for (const auto& f : server_.Frames())
            out.push_back(ToHex(f.Bytes));
        return out;
    }
};

TEST_F(Received, OneMessagePerCallInArrivalOrder) {
    Feed(FromHex("F5 F4"));
    vars_.PollCount[0] = 50;
    tcp_->ProcessReceived(0);
    EXPECT_EQ(ToHex(Buffer()), "F4");
    EXPECT_EQ(vars_.PollCount[0], 0);
    EXPECT_FALSE(vars_.SwitcherConnected);
    EXPECT_EQ(Got(1), std::vector<std::string>{"F4"});
    tcp_->ProcessReceived(0);
    EXPECT_TRUE(Buffer().empty());
    EXPECT_TRUE(vars_.SwitcherConnected);
    EXPECT_EQ(view_.Caption, "QTX Automation - Switcher Connected");
    EXPECT_EQ(view_.Icon, 1);
    EXPECT_EQ(Got(2), (std::vector<std::string>{"F4", "F2 00 01 00 00 00 00 00 00 00 00 01 FF"}));
}

TEST_F(Received, GarbageIsSkippedOneByteAtATime) {
    Feed(FromHex("00 7F F3"));
    vars_.PollCount[0] = 9;
    tcp_->ProcessReceived(0);
    EXPECT_EQ(ToHex(Buffer()), "7F F3");
    tcp_->ProcessReceived(0);
    EXPECT_EQ(ToHex(Buffer()), "F3");
    EXPECT_EQ(vars_.PollCount[0], 9);
    tcp_->ProcessReceived(0);
    EXPECT_TRUE(Buffer().empty());
    EXPECT_EQ(vars_.PollCount[0], 0);
}

TEST_F(Received, IncompleteFramesWaitAndUnknownFramesAreDiscardedWhole) {
    vars_.CrosspointMap.resize(4);
    const std::string take = frames::CrosspointFrame(frames::CmdTake, 7, 3);
    Feed(take.substr(0, 5));
    tcp_->ProcessReceived(0);
    tcp_->ProcessReceived(0);
    EXPECT_EQ(Buffer(), take.substr(0, 5));
    Feed(take.substr(5) + FromHex("E0 01 02 FF F3"));
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap[3].SourceCount, 1);
    EXPECT_EQ(vars_.CrosspointMap[3].Sources, std::vector<int16_t>{7});
    tcp_->ProcessReceived(0);
    EXPECT_EQ(ToHex(Buffer()), "F3");
}

TEST_F(Received, TakeReportsChangeOnlyTheReportedOutput) {
    vars_.CrosspointMap.resize(4);
    vars_.CrosspointMap[3].Sources = {1, 2};
    vars_.CrosspointMap[3].SourceAttr = {5, 6};
    vars_.CrosspointMap[3].SourceCount = 2;
    Feed(frames::CrosspointFrame(frames::CmdSumOn, 9, 3));  // type 36: no change
    std::string bad = frames::CrosspointFrame(frames::CmdTake, 9, 3);
    bad[7] ^= 1;  // wrong checksum
    Feed(bad);
    Feed(frames::CrosspointFrame(frames::CmdTake, 7, 3));
    tcp_->ProcessReceived(0);
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap[3].SourceCount, 2);
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap[3].SourceCount, 1);
    EXPECT_EQ(vars_.CrosspointMap[3].Sources, std::vector<int16_t>{7});
    EXPECT_EQ(vars_.CrosspointMap[3].SourceAttr, (std::vector<int16_t>{5, 6}));
    EXPECT_EQ(ErrorLog(), "");
    // Before any map the destination lies outside the map: reported, buffer moves on.
    Feed(frames::CrosspointFrame(frames::CmdTake, 1, 9) + FromHex("F3"));
    tcp_->ProcessReceived(0);
    EXPECT_NE(ErrorLog().find("Error Processing Take"), std::string::npos);
    EXPECT_EQ(ToHex(Buffer()), "F3");
}

TEST_F(Received, MapsGrowAndReplaceOnlyTheOutputsDescribed) {
    vars_.PollCount[0] = 30;
    Feed(MapMessage(4, {{{2, 11}, {3, 12}}, {}}));
    tcp_->ProcessReceived(0);
    ASSERT_EQ(vars_.CrosspointMap.size(), 6u);
    EXPECT_TRUE(vars_.MapReceived[0]);
    EXPECT_EQ(vars_.PollCount[0], 0);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(vars_.CrosspointMap[i].SourceCount, 0);
        EXPECT_TRUE(vars_.CrosspointMap[i].Sources.empty());
    }
    EXPECT_EQ(vars_.CrosspointMap[4].SourceCount, 2);
    EXPECT_EQ(vars_.CrosspointMap[4].Sources, (std::vector<int16_t>{2, 3}));
    EXPECT_EQ(vars_.CrosspointMap[4].SourceAttr, (std::vector<int16_t>{11, 12}));
    EXPECT_EQ(vars_.CrosspointMap[5].Sources, std::vector<int16_t>{-1});
    EXPECT_EQ(vars_.CrosspointMap[5].SourceAttr, std::vector<int16_t>{0});
    // A later, smaller map leaves the rest alone.
    Feed(MapMessage(1, {{{9, 0}}}));
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap.size(), 6u);
    EXPECT_EQ(vars_.CrosspointMap[1].Sources, std::vector<int16_t>{9});
    EXPECT_EQ(vars_.CrosspointMap[4].SourceCount, 2);
    // The slave's map is its own.
    EXPECT_EQ(vars_.SlaveCrosspointMap.size(), 1u);
}

TEST_F(Received, MapsWithBadLengthOrChecksumChangeNothing) {
    const std::string good = MapMessage(0, {{{1, 0}}, {{2, 0}}});
    std::string longer = good.substr(0, good.size() - 2) + '\x00';
    longer.push_back(static_cast<char>(Checksum(longer)));
    longer.push_back('\xFF');
    std::string badSum = good;
    badSum[badSum.size() - 2] ^= 1;
    // A block count that runs past the end of the message, with a good checksum.
    std::string overrun = MapMessage(0, {{{1, 0}}});
    overrun[6] = 5;
    overrun[overrun.size() - 2] = static_cast<char>(Checksum(overrun, overrun.size() - 2));
    for (const std::string& m : {longer, badSum, overrun}) {
        Feed(m);
        tcp_->ProcessReceived(0);
        EXPECT_TRUE(Buffer().empty());
        EXPECT_EQ(vars_.CrosspointMap.size(), 1u);
        EXPECT_FALSE(vars_.MapReceived[0]);
    }
    EXPECT_NE(ErrorLog().find("Error Processing Crosspoint Map"), std::string::npos);
    // A source count above 255 does not fit the entry's count: reported, nothing changes.
    std::string many = frames::SingleByte(frames::Map) + '\x00';
    AppendWord(many, 1);
    AppendWord(many, 0);
    AppendWord(many, 256);
    many.push_back(0);
    for (int i = 0; i < 256; ++i) {
        AppendWord(many, i % 100);
        AppendWord(many, 0);
    }
    frames::Finish(many);
    Feed(many);
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap.size(), 1u);
    Feed(good);
    tcp_->ProcessReceived(0);
    EXPECT_EQ(vars_.CrosspointMap.size(), 2u);
    EXPECT_TRUE(vars_.MapReceived[0]);
}

TEST_F(Received, QueriesWithDataByte100AreAnswered) {
    Feed(FromHex("81 64 64 FF 81 65 65 FF 81 64 63 FF F2 00 00 00 00 00 00 00 00 00 00 00 FF"));
    for (int i = 0; i < 4; ++i)
        tcp_->ProcessReceived(0);
    EXPECT_TRUE(Buffer().empty());
    loop_.RunFor(100);
    EXPECT_EQ(Got(1), std::vector<std::string>{"81 7D 7D FF"});
}

TEST_F(Received, OfflineOnTheSlaveTouchesOnlyTheSlave) {
    vars_.SlaveSwitcherConnected = true;
    vars_.MapReceived = {true, true};
    vars_.SwitcherConnected = true;
    vars_.CrosspointMap.resize(3);
    vars_.SlaveCrosspointMap.resize(3);
    view_.Caption = "unchanged";
    vars_.RecvBuffer[1] = FromHex("F1");
    tcp_->ProcessReceived(1);
    EXPECT_FALSE(vars_.SlaveSwitcherConnected);
    EXPECT_FALSE(vars_.MapReceived[1]);
    EXPECT_EQ(vars_.SlaveCrosspointMap.size(), 1u);
    EXPECT_TRUE(vars_.SwitcherConnected);
    EXPECT_TRUE(vars_.MapReceived[0]);
    EXPECT_EQ(vars_.CrosspointMap.size(), 3u);
    EXPECT_EQ(view_.Caption, "unchanged");
}

}  // namespace
}  // namespace qtx::test
