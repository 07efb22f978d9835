// Received-message handling on a real link: one message (or one skipped run of bytes) per call,
// frames that wait for their rest or can never end, maps and take reports, polls and queries
// answered on the wire.
#include <gtest/gtest.h>

#include "tests/switcher/LinkHarness.h"

namespace qtx::test {
namespace {

class Received : public LinkHarness {
  protected:
    Received()
        : LinkHarness(With(&sim::SimOptions::Announce, false)) {}  // the test feeds the buffer
    void SetUp() override {
        tcp_.StartLinks();
        ASSERT_TRUE(Until([&] { return vars_.ServerConnected && server_.ClientCount() == 1; }));
    }
};

TEST_F(Received, EachCallHandlesTheFrontOfTheBufferOnly) {
    struct Case {
        std::string feed;  // hex
        int calls;
        std::string rest, map, reply;  // map: "mapped " when received, then MapText
        int16_t polls;                 // the poll count, 50 before
        std::string error;             // location in the error log, if any
    };
    std::string many = FromHex("F6 00 01 00 00 00 00 02 00");  // 256 sources: beyond a byte
    for (int i = 0; i < 256; ++i)
        many += FromHex("01 00 00 00");
    const std::string same = "0:/ 0:/ 0:/ 2:1,2/5,6", mapError = "Error Processing Crosspoint Map";
    const std::string infoRequest = "F2 00 01 00 00 00 00 00 00 00 00 01 FF";
    const std::vector<Case> cases = {
        {"F5 F4", 1, "F4", same, "F4", 0, ""},
        {"F4", 1, "", same, infoRequest, 0, ""},
        {"00 7F F3", 1, "F3", same, "", 50, ""},  // a run out of step is skipped at once
        {"7F F3", 2, "", same, "", 0, ""},
        {"FE 04 00 07 00", 2, "FE 04 00 07 00", same, "", 50, ""},  // waits for the rest
        // Nine bytes and no terminator: it can never be a take; skipped, the next one handled.
        {"FE 04 00 07 00 03 00 0E 00 F3", 2, "", same, "", 0, ""},
        {"81 64 64 64 F5", 2, "", same, "F4", 0, ""},
        // A take, then an unknown frame discarded whole.
        {"FE 04 00 07 00 03 00 0E FF E0 01 02 FF F3", 2, "F3", "0:/ 0:/ 0:/ 1:7/5,6", "", 50, ""},
        // A sum-on report and a take with a wrong checksum change nothing.
        {"FE 24 00 09 00 03 00 30 FF FE 04 00 09 00 03 00 11 FF", 2, "", same, "", 50, ""},
        {"FE 04 00 01 00 09 00 0E FF F3", 1, "F3", same, "", 50, "Error Processing Take"},
        {"F6 00 02 00 04 00 02 00 00 02 00 0B 00 03 00 0C 00 00 00 00 24 FF", 1, "",
         "mapped 0:/ 0:/ 0:/ 2:1,2/5,6 2:2,3/11,12 0:-1/0", "", 0, ""},
        {"F6 00 01 00 01 00 01 00 00 09 00 00 00 0C FF", 1, "", "mapped 0:/ 1:9/0 0:/ 2:1,2/5,6",
         "", 0, ""},
        // Maps one byte too long, with a wrong checksum, with blocks past the end, too many.
        {"F6 00 02 00 00 00 01 00 00 01 00 00 00 01 00 00 02 00 00 00 00 07 FF", 1, "", same, "", 0,
         ""},
        {"F6 00 02 00 00 00 01 00 00 01 00 00 00 01 00 00 02 00 00 00 06 FF", 1, "", same, "", 0,
         ""},
        {"F6 00 01 00 00 00 05 00 00 01 00 00 00 07 FF", 1, "", same, "", 0, mapError},
        {ToHex(frames::Finish(many)), 1, "", same, "", 0, mapError},
        // Only a query with data byte 100 and a good checksum is answered; replies are taken.
        {"81 64 64 FF 81 65 65 FF 81 64 63 FF F2 00 00 00 00 00 00 00 00 00 00 00 FF", 4, "", same,
         "81 7D 7D FF", 50, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feed.substr(0, 60));
        vars_.RecvBuffer[0] = FromHex(c.feed);
        vars_.CrosspointMap.assign(4, {});
        vars_.CrosspointMap[3] = CrosspointEntry{{1, 2}, 2, {5, 6}};
        vars_.MapReceived[0] = false;
        vars_.PollCount[0] = 50;
        server_.ClearFrames();
        const size_t logged = ErrorLog().size();
        for (int i = 0; i < c.calls; ++i)
            tcp_.ProcessReceived(0);
        EXPECT_EQ(ToHex(vars_.RecvBuffer[0]), c.rest);
        EXPECT_EQ((vars_.MapReceived[0] ? "mapped " : "") + MapText(vars_.CrosspointMap), c.map);
        EXPECT_EQ(vars_.PollCount[0], c.polls);
        const std::string errors = ErrorLog().substr(logged);
        EXPECT_TRUE(c.error.empty() ? errors.empty() : errors.find(c.error) != std::string::npos)
            << errors;
        Until([&] { return !server_.Frames().empty(); }, c.reply.empty() ? 30 : 2000);
        loop_.RunFor(20);
        EXPECT_EQ(Wire(server_),
                  c.reply.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.reply});
    }
}

}  // namespace
}  // namespace qtx::test
