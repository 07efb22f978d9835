#include "preview/Preview.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/Constants.h"
#include "common/Fault.h"
#include "common/Format.h"
#include "common/Limits.h"
#include "common/PollEventLoop.h"
#include "common/Text.h"
#include "database/DBEngine.h"
#include "engine/Engine.h"
#include "logging/LogHeader.h"
#include "preview/PreviewWindow.h"
#include "preview/SimulatedClock.h"
#include "preview/SteppedLoop.h"
#include "schedule/EventStore.h"
#include "switcher/LocalStream.h"
#include "switcher/TcpComm.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::schedule {

namespace {

constexpr int64_t SecondsPerDay = 86400;
// The port the private copy names for its server; the engine reaches it in-process.
constexpr int SimulatorPort = 2001;

// A private program folder for the simulated engine, removed with everything in it.
class ScratchFolder {
  public:
    ScratchFolder() {
        // A memory file system when there is one and TMPDIR does not say otherwise: the engine
        // commits its markings to the copy, and there is no point in waiting for a disk.
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0)
            base = "/dev/shm";
        std::string pattern = (base / "qtx-preview-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder for the preview");
        path_ = pattern + "/";
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// The copy the engine runs on: the server is the in-process simulator, there is no slave and
// no task-view folder (nothing may be written outside the scratch folder), and IP and serial
// messages go nowhere (their destination code is cleared, so the engine sends nothing). The
// rows whose messages were silenced are returned as they were, so the runs can say what would
// have been sent.
std::vector<Row> AimCopyAtSimulator(const std::string& copy, int port) {
    std::vector<Row> silenced;
    DBEngine engine;
    Database db = engine.OpenDatabase(copy);
    db.BeginTrans();
    Recordset server = db.OpenRecordset("Server");
    if (server.IsEOF())
        server.AddNew();
    else
        server.Edit();
    server.SetValue("IPAddr", DbValue("127.0.0.1"));
    server.SetValue("IPPort", DbValue(int64_t{port}));
    if (server.HasField("SlaveIPAddr"))
        server.SetValue("SlaveIPAddr", DbValue("0.0.0.0"));
    if (server.HasField("TaskViewDB"))
        server.SetValue("TaskViewDB", DbValue(""));
    server.Update();
    server.Close();
    if (db.HasTable("Automation")) {
        Recordset rs = db.OpenRecordset("Automation");
        // The engine consumes a skip or one-time marking with a statement keyed on Number;
        // on the private copy an index spares each of them a scan of the whole table.
        if (rs.HasField("Number"))
            db.Execute("CREATE INDEX IF NOT EXISTS PreviewNumber ON Automation (Number)");
        // A plain read of the one column first: most files send no IP or serial message, and
        // then the row-by-row walk below (every column of every row) is not needed.
        bool anyMessage = false;
        if (rs.HasField("mtype")) {
            TableReader codes = db.ReadTable("Automation", {"mtype"});
            while (!anyMessage && codes.Next()) {
                int64_t code = 0;
                try {
                    code = codes.IsNull(0) ? 0 : codes.Number(0);
                } catch (...) {
                    code = 1;  // unreadable here: the walk below decides
                }
                anyMessage = code == 1 || code == 2;
            }
        }
        if (anyMessage) {
            const int col = rs.FieldIndex("mtype");
            while (!rs.IsEOF()) {
                const DbValue t = rs.Value(col);
                int64_t code = 0;
                try {
                    code = t.IsNull() ? 0 : t.AsNumber();
                } catch (...) {
                }
                if (code == 1 || code == 2) {
                    Row row;
                    for (size_t i = 0; i < rs.Fields().size(); ++i)
                        row[rs.Fields()[i].Name] = rs.Value(static_cast<int>(i));
                    silenced.push_back(std::move(row));
                    rs.Edit();
                    rs.SetValue(col, DbValue(int64_t{0}));
                    rs.Update();
                }
                rs.MoveNext();
            }
        }
    }
    db.CommitTrans();
    return silenced;
}

int WeekdayOfDayNumber(int64_t day) {
    // Day 0 (1970-01-01) was a Thursday: 3 in the Monday-first coding.
    return static_cast<int>(((day % 7) + 7 + 3) % 7);
}

// The seconds of the week at which a record can come due: each record's own day and time. The
// engine tests only the record at its cursor and only on that record's day and at or after its
// second, so a tick at every such second (and the engine's own chain within a tick) meets every
// execution a tick every half second would.
class Moments {
  public:
    explicit Moments(const std::vector<AutomationEvent>& table) {
        for (const AutomationEvent& r : table) {
            if (r.Day < 0 || r.Day > 6)
                continue;
            try {
                const TimeOfDay t = ParseTimeOfDay(r.Time);
                if (t < SecondsPerDay)
                    seconds_[r.Day].push_back(t);
            } catch (...) {
                // A time the engine cannot read never comes due; the engine reports it.
            }
        }
        for (std::vector<TimeOfDay>& day : seconds_) {
            std::sort(day.begin(), day.end());
            day.erase(std::unique(day.begin(), day.end()), day.end());
        }
    }
    // The first moment after `after` (day number * 86400 + second), or -1 within 8 days.
    int64_t After(int64_t after) const {
        const int64_t day0 = after / SecondsPerDay;
        for (int64_t d = day0; d <= day0 + 8; ++d) {
            const auto& set = seconds_[WeekdayOfDayNumber(d)];
            const TimeOfDay from =
                d == day0 ? static_cast<TimeOfDay>(after - d * SecondsPerDay + 1) : 0;
            const auto it = std::lower_bound(set.begin(), set.end(), from);
            if (it != set.end())
                return d * SecondsPerDay + *it;
        }
        return -1;
    }

  private:
    std::vector<TimeOfDay> seconds_[7];  // sorted, each second once
};

// The loaded events in order of number, found by number in one step.
class EventsByNumber {
  public:
    EventsByNumber() : slot_(65536, -1) {}
    // Numbers are added in increasing order, each once.
    void Add(int16_t number, Event e) {
        slot_[Slot(number)] = static_cast<int32_t>(events_.size());
        events_.emplace_back(number, std::move(e));
    }
    Event* Find(int number) {
        if (number < INT16_MIN || number > INT16_MAX)
            return nullptr;
        const int32_t at = slot_[Slot(number)];
        return at < 0 ? nullptr : &events_[static_cast<size_t>(at)].second;
    }
    const std::vector<std::pair<int16_t, Event>>& All() const { return events_; }

  private:
    static size_t Slot(int number) { return static_cast<size_t>(number - INT16_MIN); }
    std::vector<std::pair<int16_t, Event>> events_;
    std::vector<int32_t> slot_;  // by number - INT16_MIN: the place in events_, or -1
};

LocalDateTime FromMoment(int64_t moment, int ms = 0) {
    return FromEpochMs(moment * 1000 + ms);
}

int64_t MomentOf(const LocalDateTime& t) {
    return DaysFromCivil(t.Year, t.Month, t.Day) * SecondsPerDay + t.SecondsOfDay();
}

}  // namespace

std::optional<LocalDateTime> ParseDateTime(const std::string& text) {
    int y, mo, d, h, mi, s;
    char tail;
    if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h,
                                         &mi, &s, &tail) != 6)
        return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59 || y < 1970)
        return std::nullopt;
    int yy, mm, dd;
    CivilFromDays(DaysFromCivil(y, mo, d), yy, mm, dd);
    if (yy != y || mm != mo || dd != d)
        return std::nullopt;  // 2026-02-30 and the like
    return LocalDateTime{y, mo, d, h, mi, s, 0};
}

std::string FormatPreviewRun(const PreviewRun& run) {
    char date[32];
    const LocalDateTime& d = run.At;
    if (d.Year >= 1000 && d.Year <= 9999 && d.Month >= 1 && d.Month <= 12 && d.Day >= 1 &&
        d.Day <= 31) {
        // Written by hand: this runs for every line of a preview.
        const int digits[] = {d.Year / 1000,
                              d.Year / 100 % 10,
                              d.Year / 10 % 10,
                              d.Year % 10,
                              -1,
                              d.Month / 10,
                              d.Month % 10,
                              -1,
                              d.Day / 10,
                              d.Day % 10,
                              -2};
        size_t n = 0;
        for (const int digit : digits)
            date[n++] = digit >= 0 ? static_cast<char>('0' + digit) : digit == -1 ? '-' : ' ';
        date[n] = '\0';
    } else {
        std::snprintf(date, sizeof date, "%04d-%02d-%02d ", d.Year, d.Month, d.Day);
    }
    const std::string at = FormatHhMmSs(run.At);
    std::string line;
    line.reserve(64 + run.Title.size() + run.What.size());
    line += date;
    line += at;
    line += ' ';
    line.append(EnglishDayName(run.At.DayOfWeek()), 3);
    line += "  ";
    line += std::to_string(run.Number);
    line += "  ";
    line += run.Title;
    line += "  ";
    line += run.What;
    const bool onCrosspoint = run.Refusal == state::Refusal::CrosspointInactive ||
                              run.Refusal == state::Refusal::CrosspointActive;
    if (run.Conditional && (run.Ran || onCrosspoint))
        line += "  (depends on the crosspoint)";
    else if (!run.Ran)
        line += "  (not run: " + run.Reason + ")";
    if (run.Time != at)
        line += "  (late: due " + run.Time + ")";
    // A run the date rules exclude leaves a one-time event in place for its next occurrence.
    if (run.OneTime && !state::IsDateRefusal(run.Refusal))
        line += "  (one-time: deleted after this run)";
    return line;
}

PreviewResult RunPreview(const std::string& databasePath, const PreviewOptions& options) {
    if (options.Days < 1 || options.Days > limits::PreviewDaysMax)
        throw std::runtime_error("the preview covers 1 to " +
                                 std::to_string(limits::PreviewDaysMax) + " days");
    ScratchFolder folder;
    const std::string copy = folder.Path() + constants::DatabaseFileName;
    // The simulator is reached in-process: the engine's server link is a LocalStreams pair, so
    // its frames cost no system call. The copy still names 127.0.0.1 and a port, as for TCP.
    LocalStreams streams;
    PollEventLoop realLoop;
    sim::SimOptions simOptions;
    simOptions.Outputs = 1024;
    simOptions.Inputs = 1024;
    simOptions.KeepFrames = false;
    sim::SwitcherSim switcher(realLoop, simOptions);
    const int port = SimulatorPort;
    std::vector<Row> silenced;
    try {
        DBEngine engine;
        engine.CompactDatabase(databasePath, copy);
        silenced = AimCopyAtSimulator(copy, port);
    } catch (const Fault& f) {
        throw std::runtime_error(databasePath + ": " + f.Description + " (" +
                                 std::to_string(f.Number) + ")");
    }

    SteppedLoop loop(realLoop, &streams);
    PreviewWindow view;
    LocalDateTime start = options.From;
    start.Millisecond = 5;
    // The engine reads the simulated instant in the host's time zone, as it reads the real one.
    SimulatedClock clock(SimulatedClock::InstantReaching(start));
    Engine engine(clock, loop, view, folder.Path());
    // The copy is private and its activity log is thrown away: neither is worth a system call
    // per run. The engine's decisions do not depend on either.
    engine.WatchesDatabaseFile = false;
    engine.SetConfirming(false);  // its timers never fire by themselves
    engine.RaisesAlarms = false;
    engine.Tcp().Dialer = [&](const std::string& address, int32_t toPort) -> LocalEnd* {
        if (address != "127.0.0.1" || toPort != port)
            return nullptr;
        LocalStreams::Pair& pair = streams.Open();
        switcher.Accept(pair.Accepting);
        return &pair.Connecting;
    };
    engine.Log().ActivityToFile = false;
    view.Vars = &engine.Vars();
    engine.Form_Load();
    PreviewResult result;
    result.Errors = view.MessageBoxTexts;
    Variables& v = engine.Vars();

    // The events as the engine loaded them, by number; silenced messages as they were stored.
    // Each number's first record and the Day of each of its records, in table order. A flat
    // index by number rather than a tree: it is looked up once per run listed.
    EventsByNumber events;
    {
        std::vector<std::pair<int16_t, size_t>> byNumber;  // (Number, table position)
        const size_t count =
            std::min(static_cast<size_t>(std::max<int16_t>(v.EventCount, 0)), v.EventTable.size());
        byNumber.reserve(count);
        for (size_t i = 0; i < count; ++i)
            byNumber.emplace_back(v.EventTable[i].Number, i);
        std::sort(byNumber.begin(), byNumber.end());
        std::vector<int> days;
        for (size_t i = 0; i < byNumber.size();) {
            const int16_t number = byNumber[i].first;
            const size_t first = byNumber[i].second;
            days.clear();
            for (; i < byNumber.size() && byNumber[i].first == number; ++i)
                days.push_back(v.EventTable[byNumber[i].second].Day);
            events.Add(number, EventFromLoaded(LoadedFieldsOf(v.EventTable[first]), days));
        }
    }
    for (const Row& r : silenced) {
        if (Event* e = events.Find(LoadedNumber(r, "Number")))
            e->Do.Message = EventFromRow(r).Do.Message;
    }
    for (const auto& [number, e] : events.All()) {
        const std::string name = "event " + std::to_string(number) + " \"" + e.Title + "\": ";
        if (e.Days.empty())
            result.Notes.push_back(name + "no day");
        else if (!e.Time)
            result.Notes.push_back(name + "no time");
    }

    const Moments moments(v.EventTable);
    // Connecting, the announcement, the map request and the map: a few rounds each.
    for (int round = 0; v.EventCount > 0 && round < 100; ++round) {
        if (v.SwitcherConnected && v.MapReceived[0])
            break;
        loop.Pump();
    }
    if (v.EventCount > 0 && !(v.SwitcherConnected && v.MapReceived[0]))
        throw std::runtime_error("the simulated switcher did not answer on 127.0.0.1");
    const int64_t first = MomentOf(options.From);
    const int64_t end = first + int64_t{options.Days} * SecondsPerDay;
    bool engineKnowsDue = false;
    const auto pastBound = [&] {
        return options.MaxRuns > 0 && view.Outcomes.size() > options.MaxRuns;
    };
    for (int64_t moment = first; v.EventCount > 0 && moment >= 0 && moment < end;) {
        if (pastBound())
            break;
        // The first instant the wall clock reads the moment: at a jump of the clock (spring) a
        // moment it skips is reached at the jump, late, as in service.
        clock.MoveToReading(moment, 5);
        int64_t tickMs = clock.InstantMs();
        engine.tmrTimer_Timer();
        // What the simulator answers (polls, reported takes) is taken in one message per tick,
        // so the half-second ticks go on, as they would, while anything received waits: a
        // condition later on sees the crosspoints the switcher reported.
        for (int settle = 0;; ++settle) {
            for (int i = 0; i < 3; ++i)
                loop.Pump();
            if (settle == 20 || (v.RecvBuffer[0].empty() && v.RecvBuffer[1].empty()))
                break;
            tickMs = std::max(tickMs + 500, clock.InstantMs());
            clock.SetInstantMs(tickMs);
            engine.tmrTimer_Timer();
        }
        // After the tick the clock may stand later (the same-second wait moves it on).
        const int64_t now = MomentOf(clock.Now());
        const int64_t after = std::max(now, moment);
        if (v.NextDueAt >= 0) {
            engineKnowsDue = true;
            moment = std::max(v.NextDueAt, after + 1);
        } else if (engineKnowsDue) {
            break;  // the engine has nothing waiting
        } else {
            moment = moments.After(after);
        }
    }
    engine.Form_Terminate();
    if (pastBound()) {
        result.Cut = true;
        view.Outcomes.erase(view.Outcomes.begin() + static_cast<std::ptrdiff_t>(options.MaxRuns),
                            view.Outcomes.end());
    }

    result.Runs.reserve(view.Outcomes.size());
    for (const PreviewWindow::Seen& seen : view.Outcomes) {
        const EventOutcome& o = seen.Outcome;
        PreviewRun run;
        run.At = FromMoment(seen.Moment);
        run.Number = o.Number;
        run.Title = Cp1252ToUtf8(o.Title);
        run.Time = Cp1252ToUtf8(o.Time);
        run.Ran = o.Ran;
        run.Refusal = o.Reason;
        run.Reason =
            o.Detail.empty() ? std::string(state::RefusalText(o.Reason)) : Cp1252ToUtf8(o.Detail);
        if (const Event* e = events.Find(o.Number)) {
            run.Conditional = e->When.has_value();
            run.OneTime = e->Mark == Marking::OneTime;
            run.What = DescribeActions(e->Do);
        }
        run.Line = FormatPreviewRun(run);
        result.Runs.push_back(std::move(run));
    }
    // What the engine reported while it ran: the error log's lines after its header.
    const std::vector<std::string> header = ErrorLogHeader();
    std::ifstream errors(folder.Path() + "Errorlog.txt", std::ios::binary);
    std::string line;
    for (size_t n = 0; std::getline(errors, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (n >= header.size() && !line.empty())
            result.Errors.push_back(Cp1252ToUtf8(line));
    }
    return result;
}

}  // namespace qtx::schedule
