// What a message event can send: the whole engine against the switcher simulator, sending file
// messages to a listener on 127.0.0.1. Files of the program folder outside messages/ (the
// console's accounts, the database) are never sent, however the path reaches them; a file in
// messages/ and a file outside the program folder still are.
#include <sys/stat.h>
#include <unistd.h>

#include "fixtures/Loopback.h"
#include "fixtures/SimEngine.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class MessageReach : public SimEngineTest {
  protected:
    // A file message over IP to the listener, as another program stores it.
    EventRow FileMessage(int number, const std::string& time, const std::string& title,
                         const std::string& path) {
        return With(Event(number, 0, time, title), {{"mcontrol", 3},
                                                    {"mtype", 1},
                                                    {"Message", path},
                                                    {"MIPAddress", "127.0.0.1"},
                                                    {"MIPPort", listener_.Port()}});
    }
    LoopbackListener listener_;
};

TEST_F(MessageReach, FilesOfTheProgramFolderOutsideMessagesAreNeverSent) {
    const std::string users = h.dir.File("qtx-console.users");
    WriteWholeFile(users, "admin $argon2id$v=19$secret-hash\n");
    ASSERT_EQ(::mkdir(h.dir.File("messages").c_str(), 0775), 0);
    WriteWholeFile(h.dir.File("messages/news.txt"), "NEWS AT NINE");
    ASSERT_EQ(::symlink(users.c_str(), h.dir.File("messages/link.txt").c_str()), 0);
    ASSERT_EQ(::symlink("..", h.dir.File("messages/up").c_str()), 0);
    TempDir elsewhere;  // outside the program folder: older event files name such files
    WriteWholeFile(elsewhere.File("old.txt"), "OLD TEXT");

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"users", users},
        {"database", h.Db()},
        {"dotdot", h.dir.File("messages/../qtx-console.users")},
        {"link", h.dir.File("messages/link.txt")},
        {"linked folder", h.dir.File("messages/up/qtx-console.users")},
        {"log", h.dir.File("Errorlog.txt")},
    };
    std::vector<EventRow> rows;
    for (size_t i = 0; i < refused.size(); ++i) {
        const int n = static_cast<int>(i + 1);
        rows.push_back(
            FileMessage(n, "09:00:0" + std::to_string(n), refused[i].first, refused[i].second));
    }
    rows.push_back(FileMessage(7, "09:00:07", "news", h.dir.File("messages/news.txt")));
    rows.push_back(FileMessage(8, "09:00:08", "old", elsewhere.File("old.txt")));
    rows.push_back(Event(9, 1, "08:00:00", "tuesday"));
    StartWith(rows);

    for (int s = 1; s <= 6; ++s) {
        h.TickAt(9, 0, s);
        // Compared as a truth: a file sent in spite of the rule would fill the report.
        EXPECT_TRUE(listener_.Next(50, 500) == "<none>")
            << refused[static_cast<size_t>(s - 1)].first;
    }
    h.TickAt(9, 0, 7);
    EXPECT_EQ(listener_.Next(50, 500), "NEWS AT NINE");
    h.TickAt(9, 0, 8);
    EXPECT_EQ(listener_.Next(50, 500), "OLD TEXT");

    // One error entry per refused run, naming the file as the event gave it.
    const std::vector<std::string> errors = h.ErrorLines();
    ASSERT_EQ(errors.size(), refused.size()) << ::testing::PrintToString(errors);
    for (size_t i = 0; i < refused.size(); ++i) {
        EXPECT_THAT(errors[i], HasSubstr("Error Sending Message Event"));
        EXPECT_THAT(errors[i], HasSubstr("Error # 70 - Permission denied: " + refused[i].second +
                                         " is in the program folder, not in messages/"));
    }
    EXPECT_THAT(h.ActivityMessages(),
                ElementsAre("Message Sent to 127.0.0.1", "Message Sent to 127.0.0.1"));
}

}  // namespace
}  // namespace qtx::test
