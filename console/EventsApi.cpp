#include "console/EventsApi.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <utility>

#include "common/Constants.h"
#include "common/DateTime.h"
#include "common/Fault.h"
#include "common/Format.h"
#include "common/Limits.h"
#include "console/EventJson.h"
#include "console/EventText.h"
#include "console/HttpJson.h"
#include "console/LowPriority.h"
#include "console/WeekView.h"
#include "database/DBEngine.h"
#include "preview/Preview.h"
#include "schedule/DateStore.h"
#include "schedule/EngineOrder.h"
#include "schedule/EventStore.h"
#include "schedule/TransactionScope.h"

namespace qtx::console {

using nlohmann::json;
using namespace qtx::schedule;

namespace {

// The event's form with its version: a fingerprint of the form's text, so that a change by
// anyone else changes it.
json WithVersion(const Event& e) {
    std::string text;
    AppendEventJson(text, e);
    json j = json::parse(text);
    j["version"] = Fingerprint(text);
    return j;
}

int NumberOf(const HttpRequest& req) {
    return static_cast<int>(ParseNumber(req.matches[1], 1, 32767, "event number"));
}

// The version the client edited, from the body's "version" or an If-Match header; empty when
// the client gave none (it then overwrites whatever is stored).
std::string ClientVersion(const HttpRequest& req, const json* body) {
    if (body != nullptr && body->contains("version")) {
        if (!(*body)["version"].is_string())
            throw ApiError(400, "event: version must be a text");
        return (*body)["version"].get<std::string>();
    }
    std::string match = req.get_header_value("If-Match");
    if (match.size() >= 2 && match.front() == '"' && match.back() == '"')
        match = match.substr(1, match.size() - 2);
    return match;
}

void Unprocessable(HttpResponse& res, const std::vector<Problem>& problems) {
    ReplyJson(res, 422,
              json{{"error", problems.front().Message}, {"errors", ProblemsToJson(problems)}});
}

// The stored event a change is made to, read in the change's transaction, with its version
// form: 404 when there is none, 409 when the client read another version (none sent: no check).
std::pair<Event, json> StoredAsRead(Database& db, int number, const std::string& version,
                                    const std::string& hint) {
    std::optional<Event> stored = ReadEvent(db, number);
    if (!stored)
        throw ApiError(404, "there is no event " + std::to_string(number));
    json before = WithVersion(*stored);
    if (!version.empty() && version != before["version"])
        throw ApiError(409, "event " + std::to_string(number) +
                                " was changed by someone else since it was read" + hint);
    return {std::move(*stored), std::move(before)};
}

int64_t DayOf(const LocalDateTime& t) {
    return DaysFromCivil(t.Year, t.Month, t.Day);
}

// The file's identity and its last change: another stamp, another file or another content.
std::string FileStamp(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

// An occurrence the engine will not run whatever the crosspoints are: a condition's refusal
// is only what the preview's simulator happened to hold.
bool Excluded(const PreviewRun& r) {
    using state::Refusal;
    return !r.Ran && !(r.Conditional && (r.Refusal == Refusal::CrosspointInactive ||
                                         r.Refusal == Refusal::CrosspointActive));
}

}  // namespace

EventsApi::EventsApi(std::string folder, AuditLog& audit, Clock& clock)
    : folder_(std::move(folder)),
      dbPath_(folder_ + constants::DatabaseFileName),
      audit_(audit),
      clock_(clock) {}

Database EventsApi::Open() const {
    if (access(dbPath_.c_str(), F_OK) != 0)
        throw ApiError(503, dbPath_ + ": there is no event database in the program folder");
    DBEngine engine;
    return engine.OpenDatabase(dbPath_);
}

// Database faults (a locked file, a broken one) become 503 with the fault's words.
void EventsApi::DatabaseFaults(Handler handler, const HttpRequest& req, HttpResponse& res) {
    try {
        (this->*handler)(req, res);
    } catch (const Fault& f) {
        throw ApiError(503, "event database: " + f.Description + " (" + std::to_string(f.Number) +
                                "); nothing was changed");
    }
}

void EventsApi::List(const HttpRequest&, HttpResponse& res) {
    // The read transaction covers only the copy of the rows; the events and their JSON are made
    // after it, so no writer waits for them.
    Database db = Open();
    const std::vector<Row> rows = ReadRows(db);
    db.Close();
    const std::vector<Event> events = EventsOfRows(rows);
    // Events of one second run in the engine's table order: each event's position per day.
    const std::vector<DayPositions> order = PositionsOf(events, EngineOrder(rows));
    // The text in one pass: each event's form, its order and its version.
    std::string out = "[", form;
    out.reserve(events.size() * 320);
    for (size_t i = 0; i < events.size(); ++i) {
        form.clear();
        AppendEventJson(form, events[i]);
        if (i > 0)
            out += ',';
        out.append(form, 0, form.size() - 1);  // without its closing brace
        bool any = false;
        for (int d = 0; d < NoDay; ++d) {
            const long long p = order[i][static_cast<size_t>(d)];
            if (p < 0)
                continue;
            out += any ? ",\"" : ",\"order\":{\"";
            out += DayShortName(d);
            out += "\":";
            out += std::to_string(p);
            any = true;
        }
        if (any)
            out += '}';
        out += ",\"version\":\"";
        out += Fingerprint(form);
        out += "\"}";
    }
    out += ']';
    ReplyJsonText(res, 200, std::move(out));
}

void EventsApi::Week(const HttpRequest& req, HttpResponse& res) {
    std::string from = "00:00:00";
    if (req.has_param("from")) {
        from = req.get_param_value("from");
        const bool clock = from.size() == 8 && from[2] == ':' && from[5] == ':' &&
                           std::all_of(from.begin(), from.end(),
                                       [](char c) { return c == ':' || (c >= '0' && c <= '9'); });
        if (!clock)
            throw ApiError(400, "from \"" + from + "\" is not a time of day (hh:mm:ss)");
    }
    const size_t count = req.has_param("count")
                             ? static_cast<size_t>(ParseNumber(req.get_param_value("count"), 1,
                                                               limits::WeekCountMax, "count"))
                             : limits::WeekCount;
    const std::string find = req.has_param("find") ? req.get_param_value("find") : "";
    if (find.size() > limits::WeekFindMax)
        throw ApiError(400,
                       "find is longer than " + std::to_string(limits::WeekFindMax) + " bytes");
    const LocalDateTime now = clock_.Now();
    const int64_t today = DayOf(now);
    int64_t shown = today;
    if (req.has_param("week")) {
        const std::optional<int64_t> day = ParseDate(req.get_param_value("week"));
        if (!day)
            throw ApiError(400, "week \"" + req.get_param_value("week") +
                                    "\" is not a date (YYYY-MM-DD, a date that exists)");
        shown = *day;
    }
    const int64_t monday = shown - WeekdayOf(shown);

    Database db = Open();
    std::vector<Row> rows;
    std::map<int, DateRules> rules;
    std::vector<Calendar> calendars;
    {
        TransactionScope read(db, true);
        rows = ReadRows(db);
        rules = ReadDateRules(db);
        if (!rules.empty())
            calendars = ReadCalendars(db);
        read.Commit();
    }
    db.Close();
    const std::vector<Event> events = EventsOfRows(rows);
    const WeekGrid week = MakeWeek(events, PositionsOf(events, EngineOrder(rows)), find);

    // The holidays in the day headers: the dates of the calendars that events avoid.
    std::set<std::string> avoided;
    for (const auto& [number, r] : rules)
        avoided.insert(r.Except.begin(), r.Except.end());
    std::array<std::string, NoDay> holidays;
    for (const Calendar& c : calendars) {
        if (avoided.count(c.Name) == 0)
            continue;
        for (const CalendarDate& d : c.Dates) {
            if (d.Day < monday || d.Day >= monday + NoDay)
                continue;
            std::string& day = holidays[static_cast<size_t>(d.Day - monday)];
            day += day.empty() ? "{\"calendar\":" : ",{\"calendar\":";
            AppendJsonString(day, c.Name);
            day += ",\"title\":";
            AppendJsonString(day, d.Title);
            day += '}';
        }
    }

    // What is still to come is judged by the preview, from now (or the week's Monday) on.
    const std::string nowTime = FormatHhMmSs(now);
    std::shared_ptr<const WeekRuns> runs;
    std::string note;
    bool busy = false;
    if (today < monday + NoDay) {
        LocalDateTime start = now;
        if (today < monday) {
            start = LocalDateTime{};
            CivilFromDays(monday, start.Year, start.Month, start.Day);
        }
        runs = RunsOfWeek(req.session->User, monday, start, note, busy);
    }

    const auto time = [&](size_t i) -> const std::string& { return *events[i].Time; };
    std::string out = "{\"monday\":\"" + FormatDate(monday) + "\",\"today\":\"" +
                      FormatDate(today) +
                      "\",\"judged\":" + (runs || today >= monday + NoDay ? "true" : "false") +
                      ",\"busy\":" + (busy ? "true" : "false") + ",\"note\":";
    if (note.empty())
        out += "null";
    else
        AppendJsonString(out, note);
    out += ",\"count\":" + std::to_string(count) + ",\"days\":[";
    for (int d = 0; d < NoDay; ++d) {
        const std::vector<size_t>& list = week.Days[static_cast<size_t>(d)];
        const size_t first =
            static_cast<size_t>(std::partition_point(list.begin(), list.end(),
                                                     [&](size_t i) { return time(i) < from; }) -
                                list.begin());
        const size_t end = std::min(list.size(), first + count);
        out += d > 0 ? ",{" : "{";
        out += "\"day\":\"" + std::string(DayShortName(d)) +
               "\",\"total\":" + std::to_string(list.size()) +
               ",\"first\":" + std::to_string(first) + ",\"date\":\"" + FormatDate(monday + d) +
               "\",\"holidays\":[" + holidays[static_cast<size_t>(d)] + "]";
        // Where Earlier and Later move the window: the time a page back, the last time shown.
        out += ",\"earlier\":";
        if (first > 0)
            AppendJsonString(out, time(list[first > count ? first - count : 0]));
        else
            out += "null";
        out += ",\"later\":";
        if (end < list.size())
            AppendJsonString(out, time(list[end - 1]));
        else
            out += "null";
        out += ",\"entries\":[";
        for (size_t k = first; k < end; ++k) {
            const Event& e = events[list[k]];
            out += k > first ? ",{\"number\":" : "{\"number\":";
            out += std::to_string(e.Number);
            out += ",\"time\":";
            AppendJsonString(out, *e.Time);
            out += ",\"title\":";
            AppendJsonString(out, e.Title);
            out += ",\"marking\":\"";
            out += MarkingName(e.Mark);
            out += "\",\"what\":";
            AppendJsonString(out, DescribeActions(e.Do));
            if (e.When) {
                out += ",\"conditionText\":";
                AppendJsonString(out, DescribeCondition(e.When));
            }
            const int64_t day = monday + d;
            if (day < today || (day == today && *e.Time < nowTime)) {
                out += ",\"past\":true";
            } else if (runs) {
                // The engine's judgement of this occurrence; none when the preview saw no run.
                out += ",\"judged\":";
                const auto run = runs->Due.find({e.Number, day});
                if (run == runs->Due.end()) {
                    out += "null";
                } else {
                    const PreviewRun& r = run->second;
                    out += r.Ran ? "{\"ran\":true" : "{\"ran\":false";
                    out += Excluded(r) ? ",\"excluded\":true" : ",\"excluded\":false";
                    out += ",\"reason\":";
                    AppendJsonString(out, r.Reason);
                    out += ",\"refusal\":\"";
                    out += state::RefusalName(r.Refusal);
                    out += r.Conditional ? "\",\"conditional\":true}" : "\",\"conditional\":false}";
                }
            }
            // The nearest other occurrences of the same second, earlier ones first, at most 5.
            std::vector<int> same;
            for (size_t j = k; j > 0 && same.size() < 5 && time(list[j - 1]) == *e.Time; --j)
                same.push_back(events[list[j - 1]].Number);
            for (size_t j = k + 1; j < list.size() && same.size() < 5 && time(list[j]) == *e.Time;
                 ++j)
                same.push_back(events[list[j]].Number);
            out += ",\"same\":[";
            for (size_t j = 0; j < same.size(); ++j)
                out += (j > 0 ? "," : "") + std::to_string(same[j]);
            out += "]}";
        }
        out += "]}";
    }
    out += "],\"apart\":{\"total\":" + std::to_string(week.Apart.size()) + ",\"events\":[";
    for (size_t k = 0; k < week.Apart.size() && k < limits::WeekApartMax; ++k) {
        if (k > 0)
            out += ',';
        AppendEventJson(out, events[week.Apart[k]]);
    }
    out += "]}}";
    ReplyJsonText(res, 200, std::move(out));
}

std::shared_ptr<const WeekRuns> EventsApi::RunsOfWeek(const std::string& user, int64_t monday,
                                                      const LocalDateTime& from, std::string& note,
                                                      bool& busy) {
    const std::string stamp = FileStamp(dbPath_);
    {
        std::lock_guard lock(weekMutex_);
        const WeekRunsKept& kept = weekKept_;
        if (kept.Runs && kept.Monday == monday && kept.FileStamp == stamp &&
            clock_.TickCount() - kept.Tick < limits::WeekRunsKeptSeconds * 1000u)
            return kept.Runs;
    }
    std::optional<AccountShares::Hold> share = previewShares_.TryTake(user);
    if (!share) {
        busy = true;
        note = "\"" + user +
               "\" has a preview running already; the week is shown without the engine's judgement";
        return nullptr;
    }
    PreviewOptions options;
    options.From = from;
    options.Days = static_cast<int>(monday + NoDay - DayOf(from));
    options.MaxRuns = limits::ConsolePreviewRunsMax;
    PreviewResult result;
    try {
        RunAtLowPriority([&] { result = RunPreview(dbPath_, options); });
    } catch (const std::runtime_error& e) {
        note = std::string("the preview cannot run: ") + e.what();
        return nullptr;
    }
    if (result.Cut) {
        note = "the week has more than " + std::to_string(limits::ConsolePreviewRunsMax) +
               " runs; it is shown without the engine's judgement";
        return nullptr;
    }
    auto runs = std::make_shared<const WeekRuns>(RunsByDueDay(std::move(result.Runs)));
    std::lock_guard lock(weekMutex_);
    weekKept_ = {monday, stamp, clock_.TickCount(), runs};
    return runs;
}

void EventsApi::One(const HttpRequest& req, HttpResponse& res) {
    int number = NumberOf(req);
    Database db = Open();
    std::optional<Event> e = ReadEvent(db, number);
    db.Close();
    if (!e)
        throw ApiError(404, "there is no event " + std::to_string(number));
    json j = WithVersion(*e);
    res.set_header("ETag", "\"" + j["version"].get<std::string>() + "\"");
    ReplyJson(res, 200, j);
}

void EventsApi::Create(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    json body = BodyJson(req);
    Event e = EventFromJson(body, false);
    if (const auto files = CheckMessageFile(e, folder_); !files.empty())
        return Unprocessable(res, files);
    Database db = Open();
    db.BeginTrans();
    std::vector<Problem> problems = CreateEvent(db, e);
    if (!problems.empty()) {
        db.Rollback();
        if (problems.front().Kind == ProblemKind::Conflict)
            throw ApiError(409, problems.front().Message, problems.front().Field);
        return Unprocessable(res, problems);
    }
    std::optional<Event> stored = ReadEvent(db, e.Number);
    json after = stored ? WithVersion(*stored) : WithVersion(e);
    audit_.Record(s.User, req.remote_addr, "event-create", "event " + std::to_string(e.Number),
                  nullptr, after);
    db.CommitTrans();
    ReplyJson(res, 201, after);
}

void EventsApi::Update(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    int number = NumberOf(req);
    json body = BodyJson(req);
    if (body.is_object() && !body.contains("number"))
        body["number"] = number;
    Event e = EventFromJson(body, true);
    std::string version = ClientVersion(req, &body);
    Database db = Open();
    db.BeginTrans();
    const auto [stored, before] =
        StoredAsRead(db, number, version, "; reload it and make the change again");
    // A client that sends none of the date rules' fields (one written before them) keeps the
    // stored rules instead of clearing them.
    bool namesDates = false;
    for (const char* key : {"from", "until", "every_weeks", "week_of", "except", "only", "latest"})
        namesDates = namesDates || body.contains(key);
    if (!namesDates)
        e.Dates = stored.Dates;
    std::vector<Problem> problems = CheckMessageFile(e, folder_, &stored);
    if (problems.empty())
        problems = UpdateEvent(db, number, e);
    if (!problems.empty()) {
        db.Rollback();
        return Unprocessable(res, problems);
    }
    std::optional<Event> now = ReadEvent(db, e.Number);
    json after = now ? WithVersion(*now) : WithVersion(e);
    audit_.Record(s.User, req.remote_addr, "event-update", "event " + std::to_string(number),
                  before, after);
    db.CommitTrans();
    ReplyJson(res, 200, after);
}

void EventsApi::Delete(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    int number = NumberOf(req);
    std::string version =
        req.has_param("version") ? req.get_param_value("version") : ClientVersion(req, nullptr);
    Database db = Open();
    db.BeginTrans();
    const json before = StoredAsRead(db, number, version, "").second;
    DeleteEvent(db, number);
    audit_.Record(s.User, req.remote_addr, "event-delete", "event " + std::to_string(number),
                  before, nullptr);
    db.CommitTrans();
    ReplyJson(res, 200, json{{"deleted", number}});
}

void EventsApi::Preview(const HttpRequest& req, HttpResponse& res) {
    PreviewOptions options;
    if (req.has_param("from")) {
        std::optional<LocalDateTime> from = ParseDateTime(req.get_param_value("from"));
        if (!from)
            throw ApiError(400, "from \"" + req.get_param_value("from") +
                                    "\" is not a moment (YYYY-MM-DD hh:mm:ss)");
        options.From = *from;
    } else {
        std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        options.From.Year = tm.tm_year + 1900;
        options.From.Month = tm.tm_mon + 1;
        options.From.Day = tm.tm_mday;
        options.From.Hour = tm.tm_hour;
        options.From.Minute = tm.tm_min;
        options.From.Second = tm.tm_sec;
    }
    if (req.has_param("days"))
        options.Days = static_cast<int>(
            ParseNumber(req.get_param_value("days"), 1, limits::ConsolePreviewDaysMax, "days"));
    if (access(dbPath_.c_str(), F_OK) != 0)
        throw ApiError(503, dbPath_ + ": there is no event database in the program folder");
    const std::string& user = req.session->User;
    std::optional<AccountShares::Hold> share = previewShares_.TryTake(user);
    if (!share)
        throw ApiError(429, "\"" + user +
                                "\" has a preview running already, the most one account "
                                "may have (" +
                                std::to_string(limits::PreviewsPerAccount) +
                                "); wait for it to finish");
    options.MaxRuns = limits::ConsolePreviewRunsMax;
    const std::string tooMuch =
        "the preview lists more than " + std::to_string(limits::ConsolePreviewRunsMax) +
        " runs or answers more than " + std::to_string(limits::ConsolePreviewAnswerBytes >> 20) +
        " MiB, the most one console preview may; ask for fewer days, or "
        "use qtx-eventdb preview";
    PreviewResult result;
    std::string answer;
    try {
        RunAtLowPriority([&] {
            result = RunPreview(dbPath_, options);
            if (result.Cut)
                return;
            // Written run by run, so that the answer's bound holds before the memory is taken.
            answer = "{\"runs\":[";
            for (const PreviewRun& r : result.Runs) {
                if (answer.size() > limits::ConsolePreviewAnswerBytes)
                    break;
                if (answer.back() != '[')
                    answer += ',';
                answer += json{{"number", r.Number},   {"title", r.Title},
                               {"time", r.Time},       {"ran", r.Ran},
                               {"reason", r.Reason},   {"conditional", r.Conditional},
                               {"oneTime", r.OneTime}, {"what", r.What},
                               {"line", r.Line}}
                              .dump(-1, ' ', false, json::error_handler_t::replace);
            }
            answer += "],\"errors\":" +
                      json(result.Errors).dump(-1, ' ', false, json::error_handler_t::replace) +
                      "}";
        });
    } catch (const std::runtime_error& e) {
        throw ApiError(503, e.what());
    }
    if (result.Cut || answer.size() > limits::ConsolePreviewAnswerBytes)
        throw ApiError(422, tooMuch, "days");
    ReplyJsonText(res, 200, std::move(answer));
}

}  // namespace qtx::console
