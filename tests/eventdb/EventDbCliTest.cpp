// qtx-eventdb as an operator meets it: the program run as a process on real files, the rows it
// writes read back with the sqlite3 shell.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {
namespace {

struct Result {
    int Code = -1;
    std::string Out, Err;
};

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Result RunProgram(const std::string& program, const std::vector<std::string>& args,
                  const TempDir& dir) {
    std::string cmd = ShellQuote(program);
    for (const std::string& a : args)
        cmd += " " + ShellQuote(a);
    cmd += " >" + ShellQuote(dir.File("stdout")) + " 2>" + ShellQuote(dir.File("stderr"));
    const int status = std::system(cmd.c_str());
    Result r;
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Out = ReadWholeFile(dir.File("stdout"));
    r.Err = ReadWholeFile(dir.File("stderr"));
    return r;
}

class EventDbCli : public ::testing::Test {
  protected:
    Result Tool(const std::vector<std::string>& args) {
        return RunProgram(QTX_BINARY_DIR "/apps/qtx-eventdb/qtx-eventdb", args, dir);
    }
    // The sqlite3 shell's answer, one line per row, columns separated by "|".
    std::string Sql(const std::string& query) {
        return RunProgram("sqlite3", {file, query}, dir).Out;
    }
    void Ok(const std::vector<std::string>& args) {
        const Result r = Tool(args);
        ASSERT_EQ(r.Code, 0) << args[0] << "\n" << r.Err;
    }

    TempDir dir;
    std::string file = dir.File("QTXAutomation.mdb");
};

TEST_F(EventDbCli, DesignExamplesGiveTheirRows) {
    Ok({"create", file});
    Ok({"add", file, "--title", "Morning feed", "--days", "mon-fri", "--at", "06:00:00", "--take",
        "3:1"});
    Ok({"add", file, "--title", "Ident", "--days", "sat,sun", "--at", "12:00:00", "--salvo", "5",
        "--once"});
    Ok({"add", file, "--title", "Tone", "--days", "mon", "--at", "07:30:00", "--relay", "pulse:4",
        "--when-on", "2:4"});
    Ok({"add", file, "--title", "Level", "--days", "tue", "--at", "08:00:00", "--gain",
        "source:2:900"});
    Ok({"add", file, "--title", "Cue", "--days", "wed", "--at", "09:00:00", "--message",
        "ip:127.0.0.1:7000", "--text", "GO^M"});
    Ok({"add", file, "--number", "40", "--title", "Show", "--days", "none", "--at", "none",
        "--message", "switcher:1:2:3", "--file", dir.File("messages/show.txt"), "--inactive",
        "--when-off", "5:6"});
    Ok({"add", file, "--title", "Sum", "--days", "thu", "--at", "10:00:00", "--sum-off", "7:8",
        "--message", "serial:2:6", "--text", "x", "--skip-next"});
    EXPECT_EQ(Sql("SELECT Number, Day, Time, Title, Active, Condition, ReqSource, ReqDest, "
                  "xcontrol, SourceChan, DestChan, scontrol, Salvo, rcontrol, Relay, vcontrol, "
                  "VChan, Gain, mcontrol, mtype, Message, MIPAddress, MIPPort, MCommPort, "
                  "MBaudRate, MFrame, MSlot, MPort FROM Automation ORDER BY rowid"),
              "1|0|06:00:00|Morning feed|1|0|0|0|1|3|1|0|0|0|0|0|0|0|0|0||||||||\n"
              "1|1|06:00:00|Morning feed|1|0|0|0|1|3|1|0|0|0|0|0|0|0|0|0||||||||\n"
              "1|2|06:00:00|Morning feed|1|0|0|0|1|3|1|0|0|0|0|0|0|0|0|0||||||||\n"
              "1|3|06:00:00|Morning feed|1|0|0|0|1|3|1|0|0|0|0|0|0|0|0|0||||||||\n"
              "1|4|06:00:00|Morning feed|1|0|0|0|1|3|1|0|0|0|0|0|0|0|0|0||||||||\n"
              "2|5|12:00:00|Ident|3|0|0|0|0|0|0|1|5|0|0|0|0|0|0|0||||||||\n"
              "2|6|12:00:00|Ident|3|0|0|0|0|0|0|1|5|0|0|0|0|0|0|0||||||||\n"
              "3|0|07:30:00|Tone|1|1|2|4|0|0|0|0|0|3|4|0|0|0|0|0||||||||\n"
              "4|1|08:00:00|Level|1|0|0|0|0|0|0|0|0|0|0|1|2|900|0|0||||||||\n"
              "5|2|09:00:00|Cue|1|0|0|0|0|0|0|0|0|0|0|0|0|0|1|1|GO^M|127.0.0.1|7000|||||\n"
              "40|7|24:00:00|Show|0|2|5|6|0|0|0|0|0|0|0|0|0|0|3|3|" +
                  dir.File("messages/show.txt") +
                  "|||||1|2|3\n"
                  "6|3|10:00:00|Sum|2|0|0|0|3|7|8|0|0|0|0|0|0|0|1|2|x|||1|6|||\n");
    const Result list = Tool({"list", file});
    EXPECT_EQ(list.Out.substr(0, list.Out.find('\n')),
              "1  mon-fri  06:00:00  active  \"Morning feed\"  take 3->1");
    const Result shown = Tool({"show-event", file, "3"});
    EXPECT_NE(shown.Out.find("condition  when 2->4 is on\nactions    relay pulse 4\n"),
              std::string::npos)
        << shown.Out;
    EXPECT_EQ(Tool({"check", file}).Out, file + ": 7 events in 12 rows, no problems\n");
    // The version is the project's; the help names every form.
    const Result v = Tool({"--version"});
    EXPECT_EQ(v.Out, "qtx-eventdb " QTX_PROJECT_VERSION "\n");
    const Result help = Tool({"--help"});
    for (const char* option : {"--take S:D", "--when-on", "--message ip:ADDRESS:PORT", "--once",
                               "preview FILE", "check FILE", "import FILE CSV [--replace]"})
        EXPECT_NE(help.Out.find(option), std::string::npos) << option;
}

TEST_F(EventDbCli, CreatesAnyVersionListsInEngineOrderSetsAndRemoves) {
    const std::string v3 = dir.File("v3.mdb");
    Ok({"create", v3, "3"});
    EXPECT_EQ(QueryOne(v3, "SELECT Version || Type.Type FROM Info, Type"), "3Automation");
    EXPECT_EQ(Tool({"create", dir.File("v8.mdb"), "8"}).Code, 2);
    Ok({"create", file});
    Ok({"add", file, "Number=1", "Day=3", "Time=08:00:00", "Title=Caf\xC3\xA9"});
    Ok({"add", file, "Number=2", "Day=0", "Time=07:30:00", "Title="});
    EXPECT_EQ(Tool({"list", file}).Out,
              "2  mon  07:30:00  active  \"None\"  no action\n"
              "1  thu  08:00:00  active  \"Caf\xC3\xA9\"  no action\n");
    Ok({"set", file, "IPAddr=127.0.0.2", "StartMin=-1", "ConfirmWithin=250"});
    Ok({"set", file, "confirmwithin=300", "LinkAlarmAfter=5"});
    const std::string shown = Tool({"show", file}).Out;
    for (const char* line :
         {"IPAddr=127.0.0.2\n", "StartMin=-1\n", "ConfirmWithin=300\n", "LinkAlarmAfter=5\n"})
        EXPECT_NE(shown.find(line), shown.npos) << shown;
    Ok({"remove", file, "1"});
    EXPECT_EQ(Sql("SELECT Number FROM Automation"), "2\n");
    EXPECT_EQ(Tool({"frobnicate", file}).Code, 2);
}

TEST_F(EventDbCli, BadInputIsRefusedByNameAndLeavesTheFileAsItWas) {
    Ok({"create", file});
    Ok({"add", file, "--number", "100", "--title", "Morning feed", "--days", "mon", "--at",
        "06:00:00", "--take", "3:1"});
    WriteWholeFile(dir.File("short.csv"), "Number,Day\n2,1\n3\n");
    WriteWholeFile(dir.File("cols.csv"), "Number,Nope\n2,1\n");
    const std::string before = ReadWholeFile(file);
    const std::string row = "Number=7";
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"add", file, row, "Day=8"}, "Day 8 is not a day"},
        {{"add", file, row, "Day=-1"}, "Day -1 is not a day"},
        {{"add", file, row, "Time=25:00:00"},
         "Time \"25:00:00\" is not a time the engine can read"},
        {{"add", file, row, "Time=6:00"}, "Time \"6:00\" does not sort as a time"},
        {{"add", file, row, "Time=banana"}, "Time \"banana\" is not a time the engine can read"},
        {{"add", file, row, "xcontrol=1", "SourceChan=0", "DestChan=1"},
         "take.source 0 is not a source (1 to 16384)"},
        {{"add", file, row, "xcontrol=9"}, "xcontrol 9 is not a code of this column"},
        {{"add", file, row, "Active=7"}, "Active 7 is not a code"},
        {{"add", file, row, "MFrame=256"}, "MFrame 256 does not fit; the engine's load fails"},
        {{"add", file, "Day=1"}, "Number is empty"},
        {{"add", file, "Number=100", "Day=1", "Time=07:00:00"}, "number 100 is used by two events"},
        {{"add", file, "Number=100", "Day=0", "Time=06:00:00", "Title=Morning feed", "xcontrol=1",
          "SourceChan=3", "DestChan=1"},
         "days mon has two rows"},
        {{"add", file, row, "Nope=1"}, "\"Nope\" is not a column"},
        {{"set", file, "IPAddr=127.0.0.300"}, "IPAddr \"127.0.0.300\" is not an IPv4 address"},
        {{"set", file, "IPPort=99999"}, "IPPort \"99999\" is not a TCP port"},
        {{"set", file, "ConfirmWithin=60001"},
         "ConfirmWithin \"60001\" is not a number of milliseconds (0 to 60000)"},
        {{"set", file, "LinkAlarmAfter=0.5"},
         "LinkAlarmAfter \"0.5\" is not a number of seconds (1 to 3600)"},
        {{"add", file, "--title", "T", "--days", "mon", "--at", "25:00:00"},
         "time \"25:00:00\" is not a time of day (hh:mm:ss, 00:00:00 to 23:59:59)"},
        {{"add", file, "--title", "T", "--days", "funday", "--at", "06:00:00"},
         "--days \"funday\""},
        {{"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--take", "3"},
         "--take \"3\": expected SOURCE:DESTINATION"},
        {{"add", file, "--number", "100", "--title", "T", "--days", "mon", "--at", "06:00:00"},
         "number 100 is already used"},
        {{"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--message",
          "ip:127.0.0.300:70000", "--text", "x"},
         "message.port 70000 is not a TCP port"},
        {{"add", file, "--title", std::string(256, 'x'), "--days", "mon", "--at", "06:00:00"},
         "is too long (at most 255 characters)"},
        {{"edit", file, "100", "--gain", "source:0:900"},
         "event 100 \"Morning feed\": gain.channel 0"},
        {{"edit", file, "101", "--at", "07:00:00"}, "no event 101"},
        {{"edit", file, "100", "--text", "x"}, "--text needs a message"},
        {{"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--message",
          "ip:127.0.0.1:7000"},
         "--message needs --text TEXT or --file PATH"},
        {{"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--take", "1:2",
          "--sum-on", "1:2"},
         "one crosspoint action per event"},
        {{"remove", file, "101"}, "no event 101"},
        {{"add", file, row, "Day=99999"}, "Day 99999"},
        {{"add", file, row, "Title=" + std::string(300, 'x')}, "too long"},
        // A setting the tool does not know refuses the good one beside it too.
        {{"set", file, "IPPort=80", "Bogus=1"}, "Bogus"},
        {{"set", file, "ConfirmWithin=80", "Bogus=1"}, "Bogus"},
        {{"import", file, dir.File("cols.csv")}, "Nope"},
    };
    for (const Case& c : cases) {
        const Result r = Tool(c.args);
        EXPECT_EQ(r.Code, 1) << c.says << "\n" << r.Err;
        EXPECT_EQ(r.Err.rfind("qtx-eventdb: " + file + ": ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
        EXPECT_EQ(ReadWholeFile(file), before) << c.says;
    }
    const Result shortLine = Tool({"import", file, dir.File("short.csv")});
    EXPECT_EQ(shortLine.Err,
              "qtx-eventdb: " + dir.File("short.csv") + " line 3: 1 fields, the header has 2\n");
    EXPECT_EQ(ReadWholeFile(file), before);
    const Result missing = Tool({"list", dir.File("none.mdb")});
    EXPECT_EQ(missing.Err, "qtx-eventdb: " + dir.File("none.mdb") + ": no such file\n");
    EXPECT_EQ(Tool({"create", file}).Code, 1);
}

// A message file named through the tool lies in the program folder's messages/ (the folder of
// the event file): anything else could send the console's accounts or the database to an
// address of the operator's choice. Texts that reach the logs hold no control character.
TEST_F(EventDbCli, MessageFilesLieInTheMessageFolderAndLoggedTextsHoldNoControls) {
    ASSERT_EQ(::chmod(dir.Path().c_str(), 02770), 0);
    Ok({"create", file});
    struct stat folder {
    }, messages{};
    ASSERT_EQ(::stat(dir.Path().c_str(), &folder), 0);
    ASSERT_EQ(::stat(dir.File("messages").c_str(), &messages), 0);
    EXPECT_TRUE(S_ISDIR(messages.st_mode));
    EXPECT_EQ(messages.st_mode & 07777, folder.st_mode & 07777);
    EXPECT_EQ(messages.st_gid, folder.st_gid);

    const std::string inside = dir.File("messages/news.txt");
    Ok({"add", file, "--number", "100", "--title", "News", "--days", "mon", "--at", "06:00:00",
        "--message", "ip:127.0.0.1:7000", "--file", inside});
    // Outside the folder, the event file's own neighbours, and ways around the folder's name.
    const std::vector<std::string> elsewhere = {
        "/etc/passwd",
        dir.File("qtx-console.users"),
        dir.File("QTXAutomation.mdb"),
        dir.File("messages/../qtx-console.users"),
        dir.File("messages//news.txt"),
        dir.File("messages/./news.txt"),
        dir.File("messages/"),
        dir.File("messagesX/news.txt"),
        "messages/news.txt",
    };
    const std::string csvHeader = "Number,Day,Time,Title,mcontrol,mtype,Message,MIPAddress,MIPPort";
    const std::string before = ReadWholeFile(file);
    for (const std::string& path : elsewhere) {
        WriteWholeFile(dir.File("rows.csv"),
                       csvHeader + "\n7,0,06:00:00,R,3,1," + path + ",127.0.0.1,7000\n");
        WriteWholeFile(dir.File("events.csv"),
                       "number,title,days,at,message,file\n8,E,mon,"
                       "06:00:00,ip:127.0.0.1:7000," +
                           path + "\n");
        const std::vector<std::vector<std::string>> writes = {
            {"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--message",
             "ip:127.0.0.1:7000", "--file", path},
            {"add", file, "Number=7", "Day=0", "Time=06:00:00", "Title=T", "mcontrol=3", "mtype=1",
             "Message=" + path, "MIPAddress=127.0.0.1", "MIPPort=7000"},
            {"edit", file, "100", "--file", path},
            {"import", file, dir.File("rows.csv")},
            {"import", file, dir.File("events.csv"), "--replace"},
        };
        for (const std::vector<std::string>& w : writes) {
            const Result r = Tool(w);
            EXPECT_EQ(r.Code, 1) << w[0] << " " << path << "\n" << r.Err;
            EXPECT_NE(r.Err.find("message.file \"" + path +
                                 "\" is not a file of the message folder (an absolute path in " +
                                 dir.File("messages/")),
                      std::string::npos)
                << w[0] << " " << path << "\n"
                << r.Err;
            EXPECT_NE(r.Err.find("event "), std::string::npos) << r.Err;
            EXPECT_EQ(ReadWholeFile(file), before) << w[0] << " " << path;
        }
    }

    // Control characters in a title or a message text: refused with the character shown.
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"add", file, "--title", "Feed\r\nMon, Dec 07, 2026 - 06:00:00       Forged",
               "--days", "mon", "--at", "06:00:00"},
              "title \"Feed\\x0D\\x0AMon, Dec 07, 2026"},
             {{"edit", file, "100", "--title", "tab\there"},
              "title \"tab\\x09here\" holds a control"},
             {{"add", file, "--title", "C1 \xC2\x85 next line", "--days", "mon", "--at",
               "06:00:00"},
              "holds a control character"},
             {{"add", file, "--title", "T", "--days", "mon", "--at", "06:00:00", "--message",
               "ip:127.0.0.1:7000", "--text", "GO\r"},
              "message.text \"GO\\x0D\" holds a control character"},
             {{"add", file, "Number=7", "Day=0", "Time=06:00:00", "Title=a\nb"},
              "title \"a\\x0Ab\" holds a control character"},
         }) {
        const Result r = Tool(args);
        EXPECT_EQ(r.Code, 1) << says << "\n" << r.Err;
        EXPECT_NE(r.Err.find(says), std::string::npos) << r.Err;
        EXPECT_EQ(r.Err.find('\r'), std::string::npos) << r.Err;
        EXPECT_EQ(ReadWholeFile(file), before) << says;
    }
    // Printable 8-bit letters and signs are text: euro sign, ellipsis, trade mark.
    Ok({"edit", file, "100", "--title", "News \xE2\x82\xAC \xE2\x80\xA6 \xE2\x84\xA2"});

    // A file stored by another program stays: the engine still sends it (unless it is a file of
    // the program folder), an edit that keeps it is taken, and check warns about it.
    RunSql(file, "UPDATE Automation SET Message = '/srv/old/news.txt'");
    Ok({"edit", file, "100", "--at", "07:00:00"});
    const Result check = Tool({"check", file});
    EXPECT_EQ(check.Code, 1);
    EXPECT_NE(check.Out.find(file + ": event 100 \"News \xE2\x82\xAC \xE2\x80\xA6 \xE2\x84\xA2\": "
                                    "message.file \"/srv/old/news.txt\" is not a file of the "
                                    "message folder"),
              std::string::npos)
        << check.Out;
    EXPECT_NE(check.Out.find("1 problem\n"), std::string::npos) << check.Out;
    RunSql(file, "UPDATE Automation SET Message = '" + inside + "'");
    EXPECT_EQ(Tool({"check", file}).Code, 0);
}

TEST_F(EventDbCli, EditChangesOnlyWhatItIsGiven) {
    Ok({"create", file});
    Ok({"add", file, "--title", "Feed", "--days", "mon-wed", "--at", "06:00:00", "--take", "3:1",
        "--salvo", "2"});
    RunSql(file, "UPDATE Automation SET Color = 10 * Day, Opto = 5, Days = 'kept'");
    const std::string all = "SELECT * FROM Automation ORDER BY rowid";
    const std::string before = Sql(all);
    Ok({"edit", file, "1", "--at", "06:00:00", "--take", "3:1"});  // the same: nothing written
    EXPECT_EQ(Sql(all), before);
    Ok({"edit", file, "1", "--at", "06:30:00"});
    std::string expect = before;
    for (size_t p; (p = expect.find("06:00:00")) != std::string::npos;)
        expect.replace(p, 8, "06:30:00");
    EXPECT_EQ(Sql(all), expect);
    // Fewer days keep the remaining days' own rows; a new day copies the first row's columns.
    Ok({"edit", file, "1", "--days", "tue,sun", "--no-salvo"});
    EXPECT_EQ(Sql("SELECT Day, Color, Opto, Days, scontrol, Salvo, xcontrol FROM Automation "
                  "ORDER BY rowid"),
              "1|10|5|kept|0|0|1\n6|0|5|kept|0|0|1\n");
}

TEST_F(EventDbCli, CsvRoundTripsAndAcceptsSpreadsheetForms) {
    Ok({"create", file});
    Ok({"add", file, "--title", "Caf\xC3\xA9, \"live\"", "--days", "mon,fri", "--at", "06:00:00",
        "--take", "3:1"});
    Ok({"add", file, "--title", "Cue", "--days", "none", "--at", "none", "--message",
        "ip:127.0.0.1:7000", "--text", "A;B^M"});
    RunSql(file, "UPDATE Automation SET Color = 7, Days = ''");
    Ok({"export", file, dir.File("rows.csv")});
    const std::string rows = ReadWholeFile(dir.File("rows.csv"));

    // Importing its own export appends nothing: the events exist already.
    const std::string before = ReadWholeFile(file);
    const Result twice = Tool({"import", file, dir.File("rows.csv")});
    EXPECT_EQ(twice.Code, 1);
    EXPECT_NE(twice.Err.find(dir.File("rows.csv") + " line 2: "), std::string::npos) << twice.Err;
    EXPECT_EQ(ReadWholeFile(file), before);

    // Replace: the same rows again, exactly.
    Ok({"import", file, dir.File("rows.csv"), "--replace"});
    Ok({"export", file, dir.File("again.csv")});
    EXPECT_EQ(ReadWholeFile(dir.File("again.csv")), rows);

    // A spreadsheet's form: byte-order mark, semicolons, every field quoted, LF, columns reordered.
    std::string sheet =
        "\xEF\xBB\xBF\"Title\";\"Number\";\"Day\";\"Time\";\"xcontrol\";"
        "\"SourceChan\";\"DestChan\"\n"
        "\"Ident; late\";\"9\";\"2\";\"23:00:00\";\"1\";\"4\";\"5\"\n";
    WriteWholeFile(dir.File("sheet.csv"), sheet);
    Ok({"import", file, dir.File("sheet.csv")});
    EXPECT_EQ(Sql("SELECT Title, Number, Day, Time, xcontrol, SourceChan, DestChan, Active, "
                  "typeof(Number) FROM Automation WHERE Number = 9"),
              "Ident; late|9|2|23:00:00|1|4|5|1|integer\n");

    // The event form: one line per event, in words, and back.
    Ok({"export", file, dir.File("events.csv"), "--events"});
    EXPECT_EQ(
        ReadWholeFile(dir.File("events.csv"))
            .rfind(
                "number,title,days,at,marking,when,crosspoint,salvo,relay,gain,message,text,"
                "file,from,until,every_weeks,week_of,except,only,latest\r\n"
                "1,\"Caf\xC3\xA9, \"\"live\"\"\",\"mon,fri\",06:00:00,active,,take:3:1,,,,,,,,,,,,,"
                "\r\n",
                0),
        0u);
    const std::string other = dir.File("other.mdb");
    Ok({"create", other});
    Ok({"import", other, dir.File("events.csv"), "--replace"});
    EXPECT_EQ(Tool({"list", other}).Out, Tool({"list", file}).Out);

    // A bad line names the CSV and its line; nothing is stored.
    WriteWholeFile(dir.File("bad.csv"),
                   "number,title,days,at\r\n20,A,mon,06:00:00\r\n21,B,mon,6 o'clock\r\n");
    const std::string otherBefore = ReadWholeFile(other);
    const Result bad = Tool({"import", other, dir.File("bad.csv"), "--replace"});
    EXPECT_EQ(bad.Code, 1);
    EXPECT_NE(bad.Err.find(dir.File("bad.csv") + " line 3: event 21 \"B\": time \"6 o'clock\""),
              std::string::npos)
        << bad.Err;
    EXPECT_EQ(ReadWholeFile(other), otherBefore);
}

TEST_F(EventDbCli, CheckFindsWhatTheEngineWouldMeet) {
    MakeEventDb(file);
    RunSql(file,
           "INSERT INTO Automation (Number, Day, Time, Title, Active, MFrame) VALUES "
           "(1, 0, '06:00:00', 'frame', 1, 256);"
           "INSERT INTO Automation (Number, Day, Time, Title, Active) VALUES "
           "(2, 0, '8.00.00', 'dots', 1);"
           "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan) VALUES "
           "(3, 1, '07:00:00', 'nodest', 1, 1, 4);"
           "INSERT INTO Automation (Number, Day, Time, Title, Active) VALUES "
           "(4, 2, '07:00:00', 'twin', 1), (4, 3, '08:00:00', 'twin', 1);");
    const Result r = Tool({"check", file});
    EXPECT_EQ(r.Code, 1);
    for (const char* says :
         {"row 1 (event 1 \"frame\"): MFrame 256 does not fit; the engine's load fails",
          "row 2 (event 2 \"dots\"): Time \"8.00.00\" is not a time the engine can read",
          "event 3 \"nodest\": take.destination 0 is not a destination",
          "event 4 \"twin\": number 4 is used by two events (rows 4 and 5 differ)", "4 problems\n"})
        EXPECT_NE(r.Out.find(says), std::string::npos) << says << "\n" << r.Out;

    RunSql(file, "DELETE FROM Automation WHERE Number <> 3; UPDATE Automation SET DestChan = 2");
    const Result clean = Tool({"check", file});
    EXPECT_EQ(clean.Code, 0);
    EXPECT_EQ(clean.Out, file + ": 1 events in 1 rows, no problems\n");
}

TEST_F(EventDbCli, PreviewSaysWhatWouldBeSentAndSendsNothing) {
    // A listener where the message would go: the preview must not connect to it. The port is
    // below 32768, as the file's 16-bit MIPPort column needs.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int bound = 0;
    for (int p = 23000 + ::getpid() % 5000; bound == 0 && p < 32000; p += 7) {
        addr.sin_port = htons(static_cast<uint16_t>(p));
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            bound = p;
    }
    ASSERT_NE(bound, 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const std::string port = std::to_string(bound);

    Ok({"create", file});
    Ok({"add", file, "--title", "Cue", "--days", "mon", "--at", "06:00:00", "--message",
        "ip:127.0.0.1:" + port, "--text", "GO^M", "--once"});
    Ok({"add", file, "--title", "Spare", "--days", "tue", "--at", "none", "--salvo", "1"});
    const std::string before = ReadWholeFile(file);
    const Result r = Tool({"preview", file, "--from", "2026-12-07 00:00:00", "--days", "2"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "2026-12-07 06:00:00 Mon  1  Cue  message ip 127.0.0.1:" + port +
                         " \"GO^M\"  (one-time: deleted after this run)\n"
                         "never runs: event 2 \"Spare\": no time\n");
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0);  // nobody came
    ::close(listener);
    EXPECT_EQ(ReadWholeFile(file), before);

    // A file the engine cannot load: the preview says what the engine reported.
    RunSql(file, "UPDATE Automation SET MFrame = 256");
    const Result bad = Tool({"preview", file, "--from", "2026-12-07 00:00:00"});
    EXPECT_NE(bad.Out.find("engine error: "), std::string::npos) << bad.Out;
    EXPECT_NE(bad.Out.find("Error Reading Automation DB"), std::string::npos) << bad.Out;
    for (const char* from : {"2026-02-30 00:00:00", "2026-12-07", "07/12/2026 00:00:00"})
        EXPECT_EQ(Tool({"preview", file, "--from", from}).Code, 2) << from;
    EXPECT_EQ(Tool({"preview", file, "--days", "0"}).Code, 2);
}

TEST_F(EventDbCli, NewFilesShareTheFoldersGroup) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the folder another group";
    const std::string shared = dir.File("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0775), 0);
    ASSERT_EQ(::chown(shared.c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0775), 0);
    const std::string f = shared + "/QTXAutomation.mdb";
    Ok({"create", f});
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0060, 0060u);
}

}  // namespace
}  // namespace qtx::test
