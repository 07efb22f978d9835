// The engine's state channel as a subscriber meets it: a real Unix-domain socket in the program
// folder, a snapshot on connect, one JSON object per line after it; and a subscriber that never
// reads delays no event and is dropped.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "common/Format.h"
#include "common/PollEventLoop.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/TempDir.h"
#include "fixtures/WallClock.h"
#include "switcher/ByteManipulation.h"
#include "switcher/sim/SwitcherSim.h"
#include "ui/HeadlessMainWindow.h"
#include "ui/RecordingMainWindow.h"
#include "ui/StateChannel.h"
#include "ui/StateShape.h"

namespace qtx {
namespace {

using nlohmann::json;

sockaddr_un UnixAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

// A subscriber socket connected to path; -1 when nobody answers.
int Subscribe(const std::string& path, int receiveBuffer = 0) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_un addr = UnixAddress(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Lines read from fd while the loop runs, until want lines came or the time is up.
std::vector<json> ReadLines(PollEventLoop& loop, int fd, size_t want, int timeoutMs = 2000) {
    std::vector<json> lines;
    std::string buffer;
    loop.RunUntil(
        [&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
                buffer.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos; buffer.erase(0, nl + 1))
                lines.push_back(json::parse(buffer.substr(0, nl)));
            return lines.size() >= want;
        },
        timeoutMs);
    return lines;
}

// A new subscriber's snapshot; fd (when given) keeps the subscription open.
json SnapshotOf(PollEventLoop& loop, const StateChannel& channel, int* fd = nullptr) {
    const int s = Subscribe(channel.SocketPath());
    EXPECT_GE(s, 0);
    const std::vector<json> lines = ReadLines(loop, s, 1);
    EXPECT_EQ(lines.size(), 1u);
    if (fd != nullptr)
        *fd = s;
    else
        ::close(s);
    return lines.empty() ? json() : lines[0];
}

TEST(StateChannel, SnapshotThenChangesInUtf8ToOwnerAndGroupOnly) {
    test::TempDir dir;
    PollEventLoop loop;
    RecordingMainWindow window;
    StateChannel channel(window, loop, dir.Path());
    ASSERT_TRUE(channel.Open());

    struct stat st {};
    ASSERT_EQ(::stat(channel.SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // State before anyone subscribed reaches the window and the snapshot alike.
    ShowLink(channel, state::LinkState::SwitcherConnected);
    channel.SetPanelText(1, "3 Total Events");
    channel.ShowNextEvent({9, 0, "Monday", "06:00:00", "Caf\xE9 feed"});  // Windows-1252 e-acute
    channel.SetHistoryColor(255);
    channel.AddHistoryRow("Sunday", "23:00:00", "Late - Not Executed");
    channel.ShowEventOutcome(
        {7, "Sunday", "23:00:00", "Late", false, state::Refusal::ServerNotConnected, 12, {}});
    EXPECT_EQ(window.Caption, "QTX Automation - Switcher Connected");
    ASSERT_EQ(window.HistoryRows.size(), 1u);
    channel.ShowAlarm({"a1", true, R"({"id": "a1", "state": "raised"})"});
    channel.ShowAlarm({"a2", true, R"({"id": "a2", "state": "raised"})"});
    channel.ShowAlarm({"a2", false, R"({"id": "a2", "state": "cleared"})"});

    int fd = -1;
    const json snap = SnapshotOf(loop, channel, &fd);
    EXPECT_EQ(snap["type"], "snapshot");
    EXPECT_EQ(snap["link"], json({{"server", true}, {"switcher", true}}));
    EXPECT_EQ(snap["panels"][0], "3 Total Events");
    EXPECT_EQ(snap["next"][0]["title"], "Caf\xC3\xA9 feed");
    EXPECT_EQ(snap["next"][0]["number"], 9);
    EXPECT_EQ(snap["next"][0]["weekday"], 0);
    EXPECT_EQ(window.NextEvents.size(), 1u);  // the window got the values too
    EXPECT_EQ(snap["history"][0]["color"], 255);
    EXPECT_EQ(snap["history"][0]["reason"], "Server not connected");
    EXPECT_EQ(snap["history"][0]["refusal"], "serverNotConnected");
    EXPECT_EQ(snap["history"][0]["latenessMs"], 12);
    EXPECT_EQ(snap["alarms"], json::parse(R"([{"id": "a1", "state": "raised"},
                                              {"id": "a2", "state": "cleared"}])"));

    // Changes follow in order; an unchanged panel text is not repeated.
    ShowLink(channel, state::LinkState::ServerNotConnected);
    channel.SetPanelText(1, "3 Total Events");
    channel.SetPanelText(3, "6:00:01 AM");
    channel.ClearHistory();
    channel.ShowAlarm({"a1", false, R"({"id": "a1", "state": "cleared"})"});
    std::vector<json> lines = ReadLines(loop, fd, 5);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4],
              json::parse(R"({"type": "alarm", "alarm": {"id": "a1", "state": "cleared"}})"));
    EXPECT_EQ(lines[0]["type"], "caption");
    EXPECT_EQ(lines[0]["caption"], "QTX Automation - Server Not Connected");
    EXPECT_EQ(lines[0]["link"], json({{"server", false}, {"switcher", false}}));
    EXPECT_EQ(lines[1], json({{"type", "icon"}, {"icon", 2}}));
    EXPECT_EQ(lines[2], json({{"type", "panel"}, {"panel", 3}, {"text", "6:00:01 AM"}}));
    EXPECT_EQ(lines[3]["type"], "historyCleared");
    EXPECT_TRUE(window.HistoryRows.empty());

    // A subscriber that hangs up is forgotten.
    ::close(fd);
    loop.RunUntil([&] { return channel.SubscriberCount() == 0; }, 1000);
    EXPECT_EQ(channel.SubscriberCount(), 0u);
}

// A confirmation reaches the row of its run (the snapshot's) and goes out as values.
TEST(StateChannel, ConfirmationsFollowTheirRunsRow) {
    test::TempDir dir;
    PollEventLoop loop;
    RecordingMainWindow window;
    StateChannel channel(window, loop, dir.Path());
    ASSERT_TRUE(channel.Open());
    for (int16_t number : {4, 5}) {
        channel.AddHistoryRow("Monday", "06:00:00", "Feed");
        channel.ShowEventOutcome({number, "Monday", "06:00:00", "Feed", true, {}, 3, {}});
    }
    ConfirmOutcome o{.Number = 4,
                     .Day = "Monday",
                     .Time = "06:00:00",
                     .Title = "Feed",
                     .Source = 3,
                     .Destination = 1,
                     .Result = state::ConfirmResult::NotConfirmed,
                     .Ms = 2001,
                     .Reason = "output 1 shows source 5",
                     .Answered = true,
                     .Shows = {5}};
    channel.ShowConfirmOutcome(o);
    ASSERT_EQ(window.Confirmations.size(), 1u);

    int fd = -1;
    const json rows = SnapshotOf(loop, channel, &fd)["history"];
    EXPECT_EQ(rows[0]["confirmation"], "notConfirmed");
    EXPECT_EQ(rows[0]["confirmed"], false);
    EXPECT_EQ(rows[0]["confirmReason"], "output 1 shows source 5");
    EXPECT_FALSE(rows[1].contains("confirmation"));

    o.Number = 5;
    o.Link = 1;
    o.Result = state::ConfirmResult::Confirmed;
    o.Ms = 14;
    channel.ShowConfirmOutcome(o);
    const std::vector<json> lines = ReadLines(loop, fd, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], json({{"type", "confirmation"},
                              {"number", 5},
                              {"day", "Monday"},
                              {"time", "06:00:00"},
                              {"title", "Feed"},
                              {"link", 1},
                              {"action", "take"},
                              {"source", 3},
                              {"destination", 1},
                              {"result", "confirmed"},
                              {"confirmed", true},
                              {"confirmMs", 14},
                              {"shows", {5}}}));
    ::close(fd);
}

// A socket bound at path whose owner is gone (listening: it still answers, an impostor).
void BindAt(const std::string& path, bool listening, int* keep) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = UnixAddress(path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    if (listening) {
        ASSERT_EQ(::listen(fd, 4), 0);
        *keep = fd;
    } else {
        ::close(fd);
    }
}

// Whatever holds the socket's name when the engine starts (its folder lock makes it the only
// engine of the folder) is replaced, and a subscriber gets the engine's snapshot; only a
// directory is kept, and a link's target is never touched.
TEST(StateChannel, TakesItsSocketFromWhateverHoldsTheName) {
    enum class Holder { StaleSocket, ForeignListener, RegularFile, LinkToAFile, Directory };
    for (Holder holder : {Holder::StaleSocket, Holder::ForeignListener, Holder::RegularFile,
                          Holder::LinkToAFile, Holder::Directory}) {
        SCOPED_TRACE(static_cast<int>(holder));
        test::TempDir dir;
        PollEventLoop loop;
        RecordingMainWindow window;
        const std::string path = dir.File(StateChannel::kSocketName);
        const std::string target = dir.File("elsewhere.txt");
        int foreign = -1;
        switch (holder) {
            case Holder::StaleSocket:
                BindAt(path, false, &foreign);
                break;
            case Holder::ForeignListener:
                BindAt(path, true, &foreign);
                break;
            case Holder::RegularFile:
                test::WriteWholeFile(path, "left over");
                break;
            case Holder::LinkToAFile:
                test::WriteWholeFile(target, "keep me");
                ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
                break;
            case Holder::Directory:
                ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
                break;
        }
        StateChannel channel(window, loop, dir.Path());
        channel.SetCaption("Ours");
        struct stat st {};
        if (holder == Holder::Directory) {
            EXPECT_FALSE(channel.Open());
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            continue;
        }
        ASSERT_TRUE(channel.Open());
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        if (holder == Holder::LinkToAFile) {
            EXPECT_EQ(test::ReadWholeFile(target), "keep me");
        }
        const json snapshot = SnapshotOf(loop, channel);
        EXPECT_EQ(snapshot["type"], "snapshot");
        EXPECT_EQ(snapshot["caption"], "Ours");
        if (foreign >= 0)
            ::close(foreign);
    }
}

// The real engine on the real clock against the simulator in a thread of its own. A subscriber
// connects and never reads while a burst of 400 events fills its queue; the salvo events that
// follow, one a second, still reach the simulator on time, and the subscriber is dropped.
TEST(StateChannel, ASubscriberThatNeverReadsDelaysNoEventAndIsDropped) {
    SystemClock clock;
    LocalDateTime now = clock.Now();
    const int burst = now.SecondsOfDay() + 3;
    if (burst + 10 >= 86400)
        GTEST_SKIP() << "too close to midnight";

    PollEventLoop simLoop;
    std::promise<int> port;
    std::vector<sim::ReceivedFrame> frames;
    std::thread simThread([&] {
        sim::SwitcherSim sim(simLoop);
        port.set_value(sim.Listen());
        simLoop.Run();
        frames = sim.Frames();
    });

    test::EngineHarness h{now};
    std::vector<test::EventRow> rows;
    int number = 1;
    for (int i = 0; i < 400; ++i)
        rows.push_back(test::Event(
            number++, now.MondayIndex(), FormatHhMmSs(burst),
            "burst event with a title long enough to fill a queue " + std::to_string(i)));
    constexpr int kSalvos = 4;
    for (int i = 1; i <= kSalvos; ++i) {
        auto row = test::Event(number++, now.MondayIndex(), FormatHhMmSs(burst + i), "salvo");
        row["scontrol"] = 1;
        row["Salvo"] = i;
        rows.push_back(row);
    }
    rows.push_back(test::Event(number++, (now.MondayIndex() + 1) % 7, "12:00:00", "next day"));
    h.WriteDatabase(rows, "127.0.0.1", port.get_future().get());

    StateChannel channel(h.view, h.realLoop, h.dir.Path(), 16 * 1024);
    ASSERT_TRUE(channel.Open());
    Engine engine(clock, h.realLoop, channel, h.dir.Path());
    engine.Form_Load();
    int silent = Subscribe(channel.SocketPath(), 4096);
    ASSERT_GE(silent, 0);
    h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() > burst + kSalvos; },
                        (kSalvos + 8) * 1000);
    h.realLoop.RunFor(300);
    engine.Form_Terminate();
    simLoop.Stop();
    simThread.join();
    ::close(silent);

    EXPECT_EQ(channel.DroppedCount(), 1u);
    EXPECT_EQ(channel.SubscriberCount(), 0u);
    std::map<int, int64_t> arrival;
    for (const auto& f : frames)
        if (static_cast<uint8_t>(f.Bytes[0]) == 0xEA && !arrival.count(WordAt(f.Bytes, 2) + 1))
            arrival[WordAt(f.Bytes, 2) + 1] = f.TimeMs;
    for (int i = 1; i <= kSalvos; ++i) {
        ASSERT_TRUE(arrival.count(i)) << "salvo " << i << " never reached the switcher";
        int64_t late = arrival[i] - test::LocalSecondToEpochMs(now, burst + i);
        // The engine's usual lateness is a few milliseconds; a blocked write would cost seconds.
        EXPECT_GE(late, 0);
        EXPECT_LT(late, 250) << "salvo " << i;
    }
}

// An inactive or skip-marked event that also has a crosspoint condition is refused for its
// marking: the outcome and the snapshot say so, while the activity line keeps its wording.
TEST(StateChannel, InactiveAndSkippedConditionalEventsAreRefusedForTheirMarking) {
    test::EngineHarness h(LocalDateTime{2026, 12, 7, 9, 0, 0, 5});  // a Monday
    auto conditional = [](int number, const char* time, const char* title, int active) {
        return test::With(test::Event(number, 0, time, title), {{"Active", active},
                                                                {"Condition", 1},
                                                                {"ReqSource", 2},
                                                                {"ReqDest", 4},
                                                                {"scontrol", 1},
                                                                {"Salvo", 1}});
    };
    h.WriteDatabase({conditional(1, "09:00:01", "idle", 0), conditional(2, "09:00:02", "skip", 2),
                     test::Event(3, 1, "09:00:00", "tuesday")});
    StateChannel channel(h.view, h.realLoop, h.dir.Path());
    ASSERT_TRUE(channel.Open());
    Engine engine(h.clock, h.loop, channel, h.dir.Path());
    engine.Form_Load();
    engine.Vars().ServerConnected = engine.Vars().SwitcherConnected = true;
    int fd = Subscribe(channel.SocketPath());
    ASSERT_GE(fd, 0);
    ReadLines(h.realLoop, fd, 1);  // the snapshot
    for (int second : {1, 2}) {
        h.clock.Set({2026, 12, 7, 9, 0, second, 5});
        engine.tmrTimer_Timer();
    }
    std::vector<json> outcomes;
    for (const json& line : ReadLines(h.realLoop, fd, 12, 500))
        if (line["type"] == "outcome")
            outcomes.push_back(line);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0]["reason"], "Inactive");
    EXPECT_EQ(outcomes[0]["refusal"], "inactive");
    EXPECT_EQ(outcomes[1]["reason"], "Skipped");
    EXPECT_EQ(outcomes[1]["refusal"], "skipped");
    ASSERT_EQ(h.view.Outcomes.size(), 2u);
    EXPECT_EQ(h.view.Outcomes[0].Reason, state::Refusal::Inactive);
    EXPECT_EQ(h.view.Outcomes[1].Reason, state::Refusal::Skipped);
    engine.Form_Terminate();
    ::close(fd);

    const json history = SnapshotOf(h.realLoop, channel)["history"];
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0]["refusal"], "inactive");
    EXPECT_EQ(history[1]["reason"], "Skipped");
    // The activity lines are as they always were.
    EXPECT_EQ(h.ActivityMessages(),
              (std::vector<std::string>{"idle not executed - Crosspoint inactive",
                                        "skip not executed - Crosspoint inactive"}));
}

// The role in a group of engines: the headless view's lines, the snapshot's role, the role and
// unfinished-run messages as values a reader's shape check accepts.
TEST(StateChannel, TheRoleTravelsAsValuesAndTheHeadlessViewPrintsItsLine) {
    test::TempDir dir;
    PollEventLoop loop;
    std::ostringstream printed;
    HeadlessMainWindow headless(printed);
    StateChannel channel(headless, loop, dir.Path());
    ASSERT_TRUE(channel.Open());
    using state::ClusterRole;
    channel.ShowRole({ClusterRole::NoLeader, "", "qtx-cluster.conf: unknown key 'x'", 0});
    channel.ShowRole({ClusterRole::Standby, "main", "", 1});
    channel.ShowClaims({0, 0, 0});

    int fd = -1;
    const json snapshot = SnapshotOf(loop, channel, &fd);
    EXPECT_TRUE(state::CheckLine(snapshot).Kind);
    EXPECT_EQ(snapshot["role"], json::parse(R"({"role": "standby", "leader": "main", "reason": "",
        "leaderChanges": 1, "claims": {"claimed": 0, "already_claimed": 0, "not_leader": 0}})"));
    EXPECT_FALSE(snapshot.contains("unfinished"));

    channel.ShowRole({ClusterRole::Leader, "", "", 2});
    channel.ShowRole({ClusterRole::Leader, "", "", 2});  // unchanged: the headless line once
    channel.ShowClaims({3, 1, 2});
    channel.ShowUnfinishedRun({100, "Morning feed", "2026-12-07", "06:00:00", "main", "take 3->1"});
    const std::vector<json> lines = ReadLines(loop, fd, 4);
    ASSERT_EQ(lines.size(), 4u);
    for (const json& m : lines)
        EXPECT_TRUE(state::CheckLine(m).Kind) << m.dump();
    EXPECT_EQ(lines[2]["type"], "role");
    EXPECT_EQ(lines[2]["role"], "leader");
    EXPECT_EQ(lines[2]["claims"], json::parse(R"({"claimed": 3, "already_claimed": 1,
                                                  "not_leader": 2})"));
    EXPECT_EQ(lines[3], json::parse(R"({"type": "unfinishedRun", "number": 100,
        "title": "Morning feed", "date": "2026-12-07", "time": "06:00:00", "node": "main",
        "actions": "take 3->1"})"));
    EXPECT_EQ(printed.str(),
              "Role: no leader (qtx-cluster.conf: unknown key 'x')\n"
              "Role: standby (leader: main)\n"
              "Role: leader\n");
    ::close(fd);

    // A role a reader does not know is not applied.
    json bad = lines[2];
    bad["role"] = "boss";
    EXPECT_FALSE(state::CheckLine(bad).Kind);
}

}  // namespace
}  // namespace qtx
