// The message dispatcher: which sender an event reaches, and what a fault while preparing the
// text leaves in the logs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/FileSystem.h"
#include "tests/messages/LocalReceiver.h"
#include "tests/messages/MessageFixture.h"
#include "tests/messages/PseudoTerminal.h"

namespace qtx::test {
namespace {

using MessageDispatch = MessageFixture;

TEST_F(MessageDispatch, AMessageFileThatCannotBeReadSendsNothing) {
    LocalReceiver receiver;
    ASSERT_EQ(::mkdir(dir.File("folder").c_str(), 0755), 0);
    for (const char* name : {"absent.txt", "folder"}) {
        AutomationEvent& ev = CurrentEvent("File");
        ev.mcontrol = 3;
        ev.Message = dir.File(name);
        ev.mtype = 1;
        ev.MIPAddress = "127.0.0.1";
        ev.MIPPort = receiver.Port();
        messages.SendMessageEvent();
    }
    EXPECT_EQ(receiver.Accepted(), 0);
    EXPECT_TRUE(Activity().empty());
    const std::vector<std::pair<std::string, std::string>> expected{
        {"Error Sending Message Event", "Error # 53 - File not found"},
        {"Error Sending Message Event", "Error # 75 - Path/File access error"}};
    EXPECT_EQ(Errors(), expected);
}

TEST_F(MessageDispatch, ABaudCodeBeyondSixteenBitsFaultsOnlyForSerialMessages) {
    PseudoTerminal com1;
    com1.LinkAs(dir.File("COM1"));
    AutomationEvent& ev = CurrentEvent("Serial");
    ev.mcontrol = 1;
    ev.Message = "x";
    ev.mtype = 2;
    ev.MBaudRate = 32768;
    messages.SendMessageEvent();
    EXPECT_EQ(com1.Received(), "");
    EXPECT_FALSE(messages.Comm().PortOpen());
    EXPECT_TRUE(Activity().empty());
    EXPECT_EQ(Errors(), (std::vector<std::pair<std::string, std::string>>{
                            {"Error Sending Message Event", "Error # 6 - Overflow"}}));

    // The same field does not matter to an IP message.
    LocalReceiver receiver;
    ev.mtype = 1;
    ev.MIPAddress = "127.0.0.1";
    ev.MIPPort = receiver.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(receiver.NextMessage(), "x");
}

TEST_F(MessageDispatch, EventsWithoutADestinationSendAndLogNothing) {
    LocalReceiver receiver;
    for (int16_t mtype : {int16_t{0}, int16_t{4}, int16_t{-1}}) {
        AutomationEvent& ev = CurrentEvent("Nothing");
        ev.mcontrol = 1;
        ev.Message = "x";
        ev.mtype = mtype;
        ev.MIPAddress = "127.0.0.1";
        ev.MIPPort = receiver.Port();
        messages.SendMessageEvent();
    }
    EXPECT_EQ(receiver.Accepted(), 0);
    EXPECT_FALSE(NormalFileExists(dir.File("Tally.Dat")));
    EXPECT_FALSE(NormalFileExists(dir.File("Errorlog.txt")));
}

TEST_F(MessageDispatch, ASwitcherDisplayGetsTheEventsAddress) {
    AutomationEvent& ev = CurrentEvent("Display");
    ev.mcontrol = 1;
    ev.Message = "AB";
    ev.mtype = 3;
    ev.MFrame = 1;
    ev.MSlot = 2;
    ev.MPort = 3;
    messages.SendMessageEvent();
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message sent to Switcher F01S02P03"});
}

TEST_F(MessageDispatch, ACurrentEventOutsideTheTableIsReported) {
    CurrentEvent("Only");
    vars.NextEventIndex = 1;
    messages.SendMessageEvent();
    EXPECT_TRUE(Activity().empty());
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].first, "Error Sending Message Event");
    EXPECT_EQ(Errors()[0].second, "Error # 9 - Subscript out of range");
}

}  // namespace
}  // namespace qtx::test
