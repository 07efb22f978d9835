#include "eventdb/EventDbTool.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "alarms/AlarmBook.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/Delivery.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Limits.h"
#include "common/Parse.h"
#include "common/Text.h"
#include "database/DBEngine.h"
#include "database/EngineSettings.h"
#include "database/EventSchema.h"
#include "eventdb/Csv.h"
#include "eventdb/CsvEvents.h"
#include "eventdb/EventDbCheck.h"
#include "eventdb/EventDbOptions.h"
#include "eventdb/EventImport.h"
#include "eventdb/IcsImport.h"
#include "eventdb/SecretInput.h"
#include "preview/Preview.h"
#include "schedule/DateStore.h"
#include "schedule/Schedule.h"

#ifndef QTX_VERSION
#define QTX_VERSION "unknown"
#endif

namespace qtx {

using namespace schedule;

const char* const EventDbUsage =
    "usage: qtx-eventdb COMMAND FILE [ARGS]\n"
    "  create FILE [VERSION]        new event database at schema version 1..7 (default 7)\n"
    "  show FILE                    server, slave and start-up settings\n"
    "  set FILE NAME=VALUE...       change settings: IPAddr IPPort SlaveIPAddr SlaveIPPort\n"
    "                               TaskViewDB (table Server), StartMin (table Info)\n"
    "  list FILE                    one line per event: number, days, time, marking, title,\n"
    "                               condition, actions\n"
    "  show-event FILE NUMBER       one event in words\n"
    "  add FILE EVENT-OPTIONS       add an event, for example\n"
    "                               add FILE --title \"Morning feed\" --days mon-fri\n"
    "                               --at 06:00:00 --take 3:1\n"
    "  add FILE COLUMN=VALUE...     add one event row by its columns (an empty VALUE is Null;\n"
    "                               Active is 1 unless given)\n"
    "  edit FILE NUMBER EVENT-OPTIONS  change only the parts given\n"
    "  remove FILE NUMBER           remove every row of event NUMBER\n"
    "  import FILE CSV [--replace]  add the events of a CSV file (row form: column names in the\n"
    "                               first line; or the event form of export --events);\n"
    "                               --replace: the file's events become the CSV's\n"
    "  export FILE [CSV] [--events] write the event rows as CSV (standard output without CSV);\n"
    "                               --events: one line per event, in words\n"
    "  check FILE                   every problem the engine would meet; exit 1 when any\n"
    "  preview FILE [--from \"YYYY-MM-DD hh:mm:ss\"] [--days N]\n"
    "                               what the engine will run, and when (default: now, 7 days)\n"
    "  alarm add FILE webhook URL [--secret TEXT] [--kinds KIND,...]\n"
    "                               send alarms (of these kinds) to URL\n"
    "  alarm add FILE email --smtp smtp://HOST:PORT --from ADDR --to ADDR[,ADDR]\n"
    "                  [--user NAME] [--starttls] [--kinds KIND,...]\n"
    "                               mail alarms (the password is read from standard input)\n"
    "  alarm add FILE snmp HOST:PORT [--community NAME] [--kinds KIND,...]\n"
    "                               send alarms as SNMPv2c traps to a manager\n"
    "  alarm list FILE              the alarm routes (secrets shown as \"set\")\n"
    "  alarm remove FILE ID         remove an alarm route\n"
    "  alarm test FILE              send a test alarm through every route; say what each\n"
    "                               answered (exit 1 when any failed)\n"
    "  calendar add FILE NAME DATE [--title TEXT]\n"
    "                               add a date (YYYY-MM-DD) to calendar NAME\n"
    "  calendar remove FILE NAME [DATE]  remove a date, or the whole calendar (refused while\n"
    "                               events use it)\n"
    "  calendar import FILE NAME ICS_FILE  NAME's dates become those of an iCalendar file over\n"
    "                               the next five years\n"
    "  calendar list FILE           the calendars: name, dates, events using it\n"
    "  calendar show FILE NAME      one date a line: YYYY-MM-DD  TITLE\n"
    "  --version                    the version\n"
    "  --help                       this text\n";

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure whose text is complete (it names the file and what went wrong).
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Show(const DbValue& v) {
    return v.IsNull() ? "(null)" : Cp1252ToUtf8(v.AsText());
}

std::pair<std::string, std::string> SplitAssignment(const std::string& a) {
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError("expected NAME=VALUE, got \"" + a + "\"");
    return {a.substr(0, eq), a.substr(eq + 1)};
}

int ParseNumber(const std::string& text, const std::string& what) {
    const std::optional<long long> n = ParseWholeNumber(text);
    if (n && *n >= INT32_MIN && *n <= INT32_MAX)
        return static_cast<int>(*n);
    throw UsageError(what + " must be a whole number, got \"" + text + "\"");
}

[[noreturn]] void Refuse(const std::string& where, const std::vector<Problem>& problems) {
    std::string text;
    for (const Problem& p : problems)
        text += (text.empty() ? "" : "\nqtx-eventdb: ") + where + ": " + p.Message;
    throw ToolError(text);
}

// The program folder of an event file: the folder it lies in.
std::string ProgramFolderOf(const std::string& file) {
    const std::string folder = std::filesystem::path(file).parent_path().string();
    return folder.empty() ? "." : folder;
}

// The message files of rows given in the row form, by the rule every writer applies.
std::vector<Problem> CheckMessageFilesOfRows(const std::vector<Row>& rows,
                                             const std::string& file) {
    std::vector<Problem> problems;
    for (const Row& row : rows)
        for (Problem& p : CheckMessageFile(EventFromRow(row), ProgramFolderOf(file)))
            problems.push_back(std::move(p));
    return problems;
}

std::string ReadCsvFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ToolError(path + ": cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Events in the order the engine meets them in a week: first day, time, number.
void SortForWeek(std::vector<Event>& events) {
    auto key = [](const Event& e) {
        const int day = e.Days.empty() ? NoDay : e.Days.front();
        return std::make_tuple(day, e.Time.value_or("24:00:00"), e.Number);
    };
    std::stable_sort(events.begin(), events.end(),
                     [&](const Event& a, const Event& b) { return key(a) < key(b); });
}

void ShowEvent(const Event& e, std::ostream& out) {
    out << "number     " << e.Number << "\n"
        << "title      " << e.Title << "\n"
        << "days       " << FormatDays(e.Days) << "\n"
        << "time       " << DescribeTime(e.Time) << "\n"
        << "marking    " << MarkingName(e.Mark) << "\n"
        << "condition  " << (e.When ? DescribeCondition(e.When) : "none") << "\n"
        << "actions    " << DescribeActions(e.Do) << "\n";
    // The date rules, each only when set.
    const DateRules& d = e.Dates;
    auto names = [](const std::vector<std::string>& list) {
        std::string text;
        for (const std::string& n : list)
            text += (text.empty() ? "" : ",") + n;
        return text;
    };
    if (d.From)
        out << "from       " << *d.From << "\n";
    if (d.Until)
        out << "until      " << *d.Until << "\n";
    if (d.EveryWeeks)
        out << "every      " << *d.EveryWeeks << " weeks from the week of "
            << d.WeekOf.value_or("?") << "\n";
    if (!d.Except.empty())
        out << "except     " << names(d.Except) << "\n";
    if (!d.Only.empty())
        out << "only       " << names(d.Only) << "\n";
    if (d.Latest)
        out << "latest     " << *d.Latest << "\n";
}

void ExportRows(Database& db, std::ostream& out) {
    Recordset rs = db.OpenRecordset("Automation");
    csv::Record header;
    for (const FieldDef& f : rs.Fields())
        header.emplace_back(f.Name);
    out << csv::Format(header);
    while (!rs.IsEOF()) {
        csv::Record rec;
        for (size_t i = 0; i < rs.Fields().size(); ++i) {
            const DbValue v = rs.Value(static_cast<int>(i));
            if (v.IsNull())
                rec.emplace_back(std::nullopt);
            else
                rec.emplace_back(Cp1252ToUtf8(v.AsText()));
        }
        out << csv::Format(rec);
        rs.MoveNext();
    }
}

void ExportEvents(Database& db, std::ostream& out) {
    std::vector<Event> events = ReadEvents(db);
    SortForWeek(events);
    out << csv::Format(csv::EventHeader());
    for (const Event& e : events)
        out << csv::Format(csv::EventRecord(e));
}

void Import(Database& db, const std::string& file, const std::string& csvPath, bool replace) {
    const std::string text = ReadCsvFile(csvPath);
    db.BeginTrans();
    const ImportResult result = ImportCsv(db, ProgramFolderOf(file), text, replace);
    if (result.Refusals.empty()) {
        db.CommitTrans();
        return;
    }
    std::string lines;
    for (const ImportRefusal& r : result.Refusals) {
        const std::string at = r.Place == ImportPlace::File ? file
                               : r.Place == ImportPlace::Line
                                   ? csvPath + " line " + std::to_string(r.At)
                                   : csvPath;
        lines += (lines.empty() ? "" : "\nqtx-eventdb: ") + at + ": " + r.Message;
    }
    db.Rollback();
    throw ToolError(lines);
}

// New files take the folder's group and its write permission when the folder is group-writable,
// so an engine running as another member of that group can write its markings.
void ShareWithFolderGroup(const std::string& file) {
    std::filesystem::path folder = std::filesystem::path(file).parent_path();
    if (folder.empty())
        folder = ".";
    struct stat dir {};
    struct stat st {};
    if (::stat(folder.c_str(), &dir) != 0 || !(dir.st_mode & S_IWGRP) ||
        ::stat(file.c_str(), &st) != 0)
        return;
    if (st.st_gid != dir.st_gid && ::chown(file.c_str(), static_cast<uid_t>(-1), dir.st_gid) != 0)
        throw ToolError(file + ": cannot give the file the folder's group");
    if (::chmod(file.c_str(), (st.st_mode & 07777) | S_IRGRP | S_IWGRP) != 0)
        throw ToolError(file + ": cannot make the file group-writable");
}

int Preview(const std::string& file, const std::vector<std::string>& args, std::ostream& out,
            Clock& clock) {
    PreviewOptions options;
    bool from = false;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string name = args[i], value;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw UsageError(name + " needs a value");
        }
        if (name == "--from") {
            const auto t = ParseDateTime(value);
            if (!t)
                throw UsageError("--from \"" + value + "\": expected \"YYYY-MM-DD hh:mm:ss\"");
            options.From = *t;
            from = true;
        } else if (name == "--days") {
            options.Days = ParseNumber(value, "--days");
            if (options.Days < 1 || options.Days > limits::PreviewDaysMax)
                throw UsageError("--days must be 1 to " + std::to_string(limits::PreviewDaysMax));
        } else {
            throw UsageError("unknown option \"" + name + "\"");
        }
    }
    if (!from) {
        options.From = clock.Now();
        options.From.Millisecond = 0;
    }
    PreviewResult result;
    try {
        result = RunPreview(file, options);
    } catch (const std::runtime_error& e) {
        throw ToolError(e.what());
    }
    for (const PreviewRun& run : result.Runs)
        out << run.Line << "\n";
    for (const std::string& n : result.Notes)
        out << "never runs: " << n << "\n";
    for (const std::string& e : result.Errors)
        out << "engine error: " << e << "\n";
    return 0;
}

int Alarm(const std::vector<std::string>& args, std::ostream& out) {
    // alarm SUB FILE ...
    if (args.size() < 3)
        throw UsageError("alarm needs add, list, remove or test, and a file");
    const std::string& sub = args[1];
    const std::string& file = args[2];
    DBEngine engine;
    Database db = engine.OpenDatabase(file);
    if (sub == "list" && args.size() == 3) {
        for (const alarms::AlarmRoute& r : alarms::LoadRoutes(db))
            out << alarms::DescribeRoute(r) << "\n";
        return 0;
    }
    if (sub == "remove" && args.size() == 4) {
        if (!alarms::RemoveRoute(db, ParseNumber(args[3], "ID")))
            throw ToolError(file + ": no alarm route " + args[3]);
        return 0;
    }
    if (sub == "add" && args.size() >= 4) {
        alarms::AlarmRoute r;
        const std::string& type = args[3];
        // Each type's positional argument and options ("" for one without a value).
        size_t i = 4;
        std::vector<std::pair<std::string, bool>> options;  // name, takes a value
        if (type == "webhook") {
            r.Type = alarms::RouteType::Webhook;
            if (args.size() < 5)
                throw UsageError("alarm add FILE webhook needs a URL");
            r.Target = args[i++];
            options = {{"--secret", true}, {"--kinds", true}};
        } else if (type == "email") {
            r.Type = alarms::RouteType::Email;
            options = {{"--smtp", true}, {"--from", true},      {"--to", true},
                       {"--user", true}, {"--starttls", false}, {"--kinds", true}};
        } else if (type == "snmp") {
            r.Type = alarms::RouteType::Snmp;
            if (args.size() < 5)
                throw UsageError("alarm add FILE snmp needs HOST:PORT");
            r.Target = args[i++];
            r.Secret = "public";
            options = {{"--community", true}, {"--kinds", true}};
        } else {
            throw ToolError(file + ": route type \"" + type +
                            "\" is not one of webhook, email, snmp");
        }
        for (; i < args.size(); ++i) {
            const std::string& o = args[i];
            auto known = std::find_if(options.begin(), options.end(),
                                      [&](const auto& each) { return each.first == o; });
            if (known == options.end() || (known->second && i + 1 >= args.size())) {
                std::string list;
                for (const auto& [name, value] : options)
                    list += (list.empty() ? "" : ", ") + name + (value ? " VALUE" : "");
                throw UsageError("alarm add " + type + " takes " + list);
            }
            if (!known->second) {
                r.StartTls = true;
                continue;
            }
            const std::string& v = args[++i];
            if (o == "--kinds") {
                try {
                    r.Kinds = alarms::ParseKindList(v);
                } catch (const std::invalid_argument& e) {
                    throw ToolError(file + ": " + e.what());
                }
            } else if (v.empty()) {
                throw ToolError(file + ": " + o + " must not be empty");
            } else if (o == "--secret" || o == "--community") {
                r.Secret = v;
            } else if (o == "--smtp") {
                r.Target = v;
            } else if (o == "--from") {
                r.MailFrom = v;
            } else if (o == "--to") {
                r.MailTo = v;
            } else {
                r.MailUser = v;
            }
        }
        if (r.Type == alarms::RouteType::Email) {
            if (r.Target.empty() || r.MailFrom.empty() || r.MailTo.empty())
                throw UsageError(
                    "alarm add FILE email needs --smtp smtp://HOST:PORT, --from ADDR "
                    "and --to ADDR[,ADDR]");
            // The password comes from standard input, never from the command line.
            if (!r.MailUser.empty())
                r.Secret = ReadSecretLine("SMTP password for " + r.MailUser + ": ");
        }
        const std::vector<std::string> problems = alarms::CheckRoute(r);
        if (!problems.empty()) {
            std::string text;
            for (const std::string& p : problems)
                text += (text.empty() ? "" : "\nqtx-eventdb: ") + file + ": " + p;
            throw ToolError(text);
        }
        r.Id = alarms::AddRoute(db, r);
        out << "added " << alarms::DescribeRoute(r) << "\n";
        return 0;
    }
    if (sub == "test" && args.size() == 3) {
        const std::vector<alarms::AlarmRoute> routes = alarms::LoadRoutes(db);
        if (routes.empty()) {
            out << file << ": no alarm routes\n";
            return 0;
        }
        SystemClock clock;
        alarms::Alarm a;
        a.Id = alarms::NewAlarmId();
        a.Kind = alarms::AlarmKind::Test;
        a.Text = "Test alarm from qtx-eventdb";
        std::tie(a.AtMs, a.UtcOffsetMinutes) = alarms::UtcNow(clock);
        a.Engine = alarms::EngineName(
            std::filesystem::absolute(std::filesystem::path(file)).parent_path().string());
        bool allDelivered = true;
        for (const alarms::AlarmRoute& r : routes) {
            const alarms::Answer answer = alarms::SendNow(r, a, {});
            allDelivered = allDelivered && answer.Delivered;
            out << r.Id << "  " << alarms::RouteTypeName(r.Type) << "  " << r.Target << "  "
                << (answer.Delivered ? "delivered: " : "failed: ") << answer.Text << "\n";
        }
        return allDelivered ? 0 : 1;
    }
    throw UsageError("unknown alarm command or wrong arguments: " + sub);
}

int64_t Today(Clock& clock) {
    const LocalDateTime now = clock.Now();
    return DaysFromCivil(now.Year, now.Month, now.Day);
}

std::string Joined(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers)
        out += (out.empty() ? "" : ",") + std::to_string(n);
    return out;
}

int64_t DateArgument(const std::string& file, const std::string& text) {
    const auto day = ParseDate(text);
    if (!day)
        throw ToolError(file + ": date \"" + text +
                        "\" is not a date (YYYY-MM-DD, a date that exists)");
    return *day;
}

int CalendarCommand(const std::vector<std::string>& args, std::ostream& out, Clock& clock) {
    // calendar SUB FILE [NAME ...]
    if (args.size() < 3)
        throw UsageError("calendar needs add, remove, import, list or show, and a file");
    const std::string& sub = args[1];
    const std::string& file = args[2];
    DBEngine engine;
    Database db = engine.OpenDatabase(file);
    if (sub == "list" && args.size() == 3) {
        for (const Calendar& c : ReadCalendars(db)) {
            const std::vector<int> users = CalendarUsers(db, c.Name);
            out << c.Name << "  " << c.Dates.size() << " date" << (c.Dates.size() == 1 ? "" : "s")
                << "  " << (users.empty() ? "used by no event" : "used by " + Joined(users))
                << "\n";
        }
        return 0;
    }
    if (args.size() < 4)
        throw UsageError("calendar " + sub + " needs a calendar NAME");
    const std::string& name = args[3];
    if (const auto problems = CheckCalendarName(name); !problems.empty())
        Refuse(file, problems);
    if (sub == "show" && args.size() == 4) {
        for (const Calendar& c : ReadCalendars(db))
            if (c.Name == name) {
                for (const CalendarDate& d : c.Dates)
                    out << FormatDate(d.Day) << "  " << d.Title << "\n";
                return 0;
            }
        throw ToolError(file + ": no calendar \"" + name + "\"");
    }
    if (sub == "add" && (args.size() == 5 || (args.size() == 7 && args[5] == "--title"))) {
        const int64_t day = DateArgument(file, args[4]);
        const std::string title = args.size() == 7 ? args[6] : std::string();
        if (const auto problems = CheckCalendarTitle(name, title); !problems.empty())
            Refuse(file, problems);
        AddCalendarDate(db, name, day, title);
        return 0;
    }
    if (sub == "remove" && (args.size() == 4 || args.size() == 5)) {
        if (args.size() == 5) {
            if (!RemoveCalendarDate(db, name, DateArgument(file, args[4])))
                throw ToolError(file + ": calendar \"" + name + "\" has no date " + args[4]);
            return 0;
        }
        db.BeginTrans();
        const std::vector<int> users = CalendarUsers(db, name);
        if (!users.empty()) {
            db.Rollback();
            throw ToolError(file + ": calendar \"" + name + "\" is used by event" +
                            (users.size() == 1 ? " " : "s ") + Joined(users) +
                            "; remove it from their --except/--only first");
        }
        const bool had = RemoveCalendar(db, name);
        db.CommitTrans();
        if (!had)
            throw ToolError(file + ": no calendar \"" + name + "\"");
        return 0;
    }
    if (sub == "import" && args.size() == 5) {
        const std::string text = ReadCsvFile(args[4]);
        std::vector<CalendarDate> dates;
        try {
            dates = ReadIcsDatesFrom(text, Today(clock));
        } catch (const IcsError& e) {
            throw ToolError(args[4] + ": " + e.what() + "; nothing stored");
        }
        ReplaceCalendarDates(db, name, dates);
        out << "imported " << dates.size() << " date" << (dates.size() == 1 ? "" : "s")
            << " into calendar " << name << "\n";
        return 0;
    }
    throw UsageError("unknown calendar command or wrong arguments: " + sub);
}

int Run(const std::vector<std::string>& args, std::ostream& out, Clock& clock) {
    if (!args.empty() && args[0] == "alarm")
        return Alarm(args, out);
    if (!args.empty() && args[0] == "calendar")
        return CalendarCommand(args, out, clock);
    if (args.size() < 2)
        throw UsageError("a command and a file are needed");
    const std::string& cmd = args[0];
    const std::string& file = args[1];
    DBEngine engine;
    if (cmd == "create") {
        if (args.size() > 3)
            throw UsageError("create takes FILE and an optional VERSION");
        int version = CurrentSchemaVersion;
        if (args.size() == 3) {
            if (args[2].size() != 1 || args[2][0] < '1' || args[2][0] > '7')
                throw UsageError("VERSION must be 1 to 7");
            version = args[2][0] - '0';
        }
        CreateEventDatabase(engine, file, version);
        ShareWithFolderGroup(file);
        try {
            EnsureMessageFolder(ProgramFolderOf(file));
        } catch (const std::runtime_error& e) {
            throw ToolError(e.what());
        }
        return 0;
    }
    if (cmd == "preview")
        return Preview(file, args, out, clock);
    Database db = engine.OpenDatabase(file);
    if (cmd == "show" && args.size() == 2) {
        Recordset server = db.OpenRecordset("Server");
        for (const FieldDef& f : server.Fields())
            out << f.Name << "=" << Show(server.Value(f.Name)) << "\n";
        Recordset info = db.OpenRecordset("Info");
        for (const char* name : {"Version", "StartMin"})
            if (info.HasField(name))
                out << name << "=" << Show(info.Value(name)) << "\n";
        for (const auto& [name, value] : settings::ReadSettings(db))
            out << name << "=" << value << "\n";
        return 0;
    }
    if (cmd == "check" && args.size() == 2) {
        const CheckReport report = CheckEventDatabase(db, ProgramFolderOf(file), Today(clock));
        for (const std::string& line : report.Problems)
            out << file << ": " << line << "\n";
        for (const std::string& line : report.Warnings)
            out << file << ": warning: " << line << "\n";
        if (!report.Problems.empty()) {
            out << file << ": " << report.Problems.size() << " problem"
                << (report.Problems.size() == 1 ? "" : "s") << "\n";
            return 1;
        }
        out << file << ": " << report.Events << " events in " << report.Rows
            << " rows, no problems\n";
        return 0;
    }
    if (cmd == "list" && args.size() == 2) {
        std::vector<Event> events = ReadEvents(db);
        SortForWeek(events);
        for (const Event& e : events)
            out << DescribeEvent(e) << "\n";
        return 0;
    }
    if (cmd == "show-event" && args.size() == 3) {
        const int number = ParseNumber(args[2], "NUMBER");
        const auto e = ReadEvent(db, number);
        if (!e)
            throw ToolError(file + ": no event " + args[2]);
        ShowEvent(*e, out);
        return 0;
    }
    if (cmd == "export" && args.size() >= 2 && args.size() <= 4) {
        bool events = false;
        std::string target;
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--events")
                events = true;
            else if (target.empty() && args[i].rfind("--", 0) != 0)
                target = args[i];
            else
                throw UsageError("export takes FILE, an optional CSV and --events");
        }
        auto write = [&](std::ostream& o) { events ? ExportEvents(db, o) : ExportRows(db, o); };
        if (target.empty()) {
            write(out);
            return 0;
        }
        std::ofstream f(target, std::ios::binary | std::ios::trunc);
        if (!f)
            throw ToolError(target + ": cannot be written");
        write(f);
        if (!f.flush())
            throw ToolError(target + ": cannot be written");
        return 0;
    }
    if (cmd == "set" && args.size() >= 3) {
        std::vector<Problem> problems;
        for (size_t i = 2; i < args.size(); ++i) {
            auto [name, value] = SplitAssignment(args[i]);
            for (Problem& p : CheckSetting(name, value))
                problems.push_back(std::move(p));
        }
        if (!problems.empty())
            Refuse(file, problems);
        db.BeginTrans();
        Recordset server = db.OpenRecordset("Server");
        Recordset info = db.OpenRecordset("Info");
        server.Edit();
        info.Edit();
        for (size_t i = 2; i < args.size(); ++i) {
            auto [name, value] = SplitAssignment(args[i]);
            if (const settings::Known* k = settings::FindKnown(name)) {
                settings::WriteSetting(db, *k, std::stoll(value));  // checked above
                continue;
            }
            Recordset& rs = info.HasField(name) && !server.HasField(name) ? info : server;
            if (!rs.HasField(name))
                throw ToolError(file + ": \"" + name + "\" is not a setting of this file");
            try {
                rs.SetValue(name, value.empty() ? DbValue() : DbValue(Utf8ToCp1252(value)));
            } catch (const Fault& f) {
                throw ToolError(file + ": setting " + name + " \"" + value +
                                "\": " + f.Description);
            }
        }
        server.Update();
        info.Update();
        db.CommitTrans();
        return 0;
    }
    if (cmd == "add" && args.size() >= 3) {
        const std::vector<std::string> rest(args.begin() + 2, args.end());
        if (HasEventOption(rest)) {
            Event e;
            try {
                ApplyEventOptions(rest, e, true);
            } catch (const OptionError& x) {
                throw ToolError(file + ": " + x.what());
            }
            if (const auto files = CheckMessageFile(e, ProgramFolderOf(file)); !files.empty())
                Refuse(file, files);
            const auto problems = CreateEvent(db, e);
            if (!problems.empty())
                Refuse(file, problems);
            out << "added " << DescribeEvent(e) << "\n";
            return 0;
        }
        Row row;
        for (const std::string& a : rest) {
            auto [name, value] = SplitAssignment(a);
            row[name] = value.empty() ? DbValue() : DbValue(Utf8ToCp1252(value));
        }
        if (!row.count("Active"))
            row["Active"] = DbValue(int64_t{1});
        if (const auto files = CheckMessageFilesOfRows({row}, file); !files.empty())
            Refuse(file, files);
        const auto problems = WriteRows(db, {row}, false);
        if (!problems.empty())
            Refuse(file, problems);
        return 0;
    }
    if (cmd == "edit" && args.size() >= 4) {
        const int number = ParseNumber(args[2], "NUMBER");
        auto e = ReadEvent(db, number);
        if (!e)
            throw ToolError(file + ": no event " + args[2]);
        const Event stored = *e;
        try {
            ApplyEventOptions({args.begin() + 3, args.end()}, *e, false);
        } catch (const OptionError& x) {
            throw ToolError(file + ": event " + args[2] + ": " + x.what());
        }
        if (const auto files = CheckMessageFile(*e, ProgramFolderOf(file), &stored); !files.empty())
            Refuse(file, files);
        const auto problems = UpdateEvent(db, number, *e);
        if (!problems.empty())
            Refuse(file, problems);
        out << "changed " << DescribeEvent(*e) << "\n";
        return 0;
    }
    if (cmd == "remove" && args.size() == 3) {
        if (!DeleteEvent(db, ParseNumber(args[2], "NUMBER")))
            throw ToolError(file + ": no event " + args[2]);
        return 0;
    }
    if (cmd == "import" && (args.size() == 3 || (args.size() == 4 && args[3] == "--replace"))) {
        Import(db, file, args[2], args.size() == 4);
        return 0;
    }
    throw UsageError("unknown command or wrong arguments: " + cmd);
}

std::string DescribeFault(const Fault& f) {
    switch (f.Number) {
        case faults::DbFileNotFound:
            return "no such file";
        case faults::DbCannotOpen:
            return "not an event database (" + f.Description + ")";
        case faults::FileExists:
            return "already exists; it is never overwritten";
        case faults::DbTableNotFound:
            return "not an event database (" + f.Description + ")";
        case faults::DbLocked:
        case faults::DbFileInUse:
            return "in use by another program; try again (" + f.Description + ")";
        default:
            return f.Description + " (" + std::to_string(f.Number) + ")";
    }
}

// "FILE: " of a command line, for messages (the alarm and calendar commands name it third).
std::string FileOf(const std::vector<std::string>& args) {
    const size_t at = !args.empty() && (args[0] == "alarm" || args[0] == "calendar") ? 2 : 1;
    return args.size() > at ? args[at] + ": " : "";
}

}  // namespace

int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    SystemClock clock;
    return RunEventDbTool(args, out, err, clock);
}

int RunEventDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   Clock& clock) {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << EventDbUsage << "\n" << EventOptionsHelp;
        return 0;
    }
    if (!args.empty() && args[0] == "--version") {
        out << "qtx-eventdb " << QTX_VERSION << "\n";
        return 0;
    }
    try {
        return Run(args, out, clock);
    } catch (const UsageError& e) {
        err << "qtx-eventdb: " << e.what() << "\n" << EventDbUsage;
        return 2;
    } catch (const ToolError& e) {
        err << "qtx-eventdb: " << e.what() << "\n";
    } catch (const Fault& f) {
        err << "qtx-eventdb: " << FileOf(args) << DescribeFault(f) << "\n";
    } catch (const std::exception& e) {
        err << "qtx-eventdb: " << FileOf(args) << e.what() << "\n";
    }
    return 1;
}

}  // namespace qtx
