// The message dispatcher: caret decoding, which sender an event reaches, and what a fault while
// preparing the text leaves in the logs.
#include <sys/stat.h>

#include "common/FileSystem.h"
#include "messages/CaretText.h"
#include "tests/messages/MessageFixture.h"

namespace qtx::test {
namespace {

using MessageDispatch = MessageFixture;
using ErrorList = std::vector<std::pair<std::string, std::string>>;

TEST(CaretText, EscapesCodes64To95AndLeavesEveryOtherCaret) {
    EXPECT_EQ(DecodeCarets("ON AIR^M^J"), "ON AIR\r\n");
    EXPECT_EQ(DecodeCarets("^[^_^\\"), "\x1b\x1f\x1c");
    EXPECT_EQ(DecodeCarets("a^@b"), std::string("a\0b", 3));
    EXPECT_EQ(DecodeCarets("^ a^ ^a ^1 ^? ^` ^\xC1 ^"), "^ a^ ^a ^1 ^? ^` ^\xC1 ^");
    EXPECT_EQ(DecodeCarets("^^"), "\x1e");  // the pair is consumed, not read again
    EXPECT_EQ(DecodeCarets("^^^M"), "\x1e\r");
}

TEST_F(MessageDispatch, AMessageFileThatCannotBeReadSendsNothing) {
    Listener listener;
    ASSERT_EQ(::mkdir(dir.File("folder").c_str(), 0755), 0);
    for (const char* name : {"absent.txt", "folder"}) {
        AutomationEvent& ev = Current("File", 1, dir.File(name));
        ev.mcontrol = 3;
        ev.MIPPort = listener.Port();
        messages.SendMessageEvent();
    }
    EXPECT_EQ(listener.NextMessage(), "<none>");
    EXPECT_TRUE(Activity().empty());
    EXPECT_EQ(Errors(),
              (ErrorList{{"Error Sending Message Event", "Error # 53 - File not found"},
                         {"Error Sending Message Event", "Error # 75 - Path/File access error"}}));
}

TEST_F(MessageDispatch, ABaudCodeBeyondSixteenBitsFaultsOnlyForSerialMessages) {
    PseudoTerminal com1;
    com1.LinkAs(dir.File("COM1"));
    AutomationEvent& ev = Current("Serial", 2, "x");
    ev.MBaudRate = 32768;
    messages.SendMessageEvent();
    EXPECT_EQ(com1.Received(), "");
    EXPECT_EQ(Errors(), (ErrorList{{"Error Sending Message Event", "Error # 6 - Overflow"}}));

    Listener listener;
    ev.mtype = 1;
    ev.MIPPort = listener.Port();
    messages.SendMessageEvent();
    EXPECT_EQ(listener.NextMessage(), "x");
}

TEST_F(MessageDispatch, DestinationsByMtype) {
    Listener listener;
    for (int16_t mtype : {0, 4, -1}) {
        Current("Nothing", mtype, "x").MIPPort = listener.Port();
        messages.SendMessageEvent();
    }
    EXPECT_EQ(listener.NextMessage(), "<none>");
    EXPECT_FALSE(NormalFileExists(dir.File("Tally.Dat")));
    EXPECT_FALSE(NormalFileExists(dir.File("Errorlog.txt")));

    AutomationEvent& display = Current("Display", 3, "AB");
    display.MFrame = 1;
    display.MSlot = 2;
    display.MPort = 3;
    messages.SendMessageEvent();
    EXPECT_EQ(Activity(), std::vector<std::string>{"Message sent to Switcher F01S02P03"});

    vars.NextEventIndex = 1;  // outside the table
    messages.SendMessageEvent();
    EXPECT_EQ(Errors().back(),
              (std::pair<std::string, std::string>{"Error Sending Message Event",
                                                   "Error # 9 - Subscript out of range"}));
}

}  // namespace
}  // namespace qtx::test
