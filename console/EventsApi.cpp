#include "console/EventsApi.h"

#include <unistd.h>

#include <ctime>
#include <map>

#include "common/Constants.h"
#include "common/Fault.h"
#include "common/Limits.h"
#include "console/EventJson.h"
#include "console/HttpJson.h"
#include "database/DBEngine.h"
#include "preview/Preview.h"
#include "schedule/EngineOrder.h"
#include "schedule/EventStore.h"

namespace qtx::console {

using nlohmann::json;
using namespace qtx::schedule;

namespace {

// A short fingerprint of an event as stored: a change by anyone else changes it.
std::string VersionOf(const json& eventJson) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : eventJson.dump())
        h = (h ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

json WithVersion(const Event& e) {
    json j = EventToJson(e);
    j["version"] = VersionOf(j);
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

}  // namespace

EventsApi::EventsApi(std::string folder, AuditLog& audit)
    : folder_(std::move(folder)), dbPath_(folder_ + constants::DatabaseFileName), audit_(audit) {}

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
    json list = json::array();
    std::map<int, size_t> at;  // number to its place in list
    for (const Event& e : EventsOfRows(rows)) {
        at[e.Number] = list.size();
        list.push_back(WithVersion(e));
    }
    // Events of one second run in the engine's table order.
    const std::vector<TableSlot> order = EngineOrder(rows);
    for (size_t p = 0; p < order.size(); ++p) {
        const auto it = at.find(order[p].Number);
        if (it != at.end() && order[p].Day >= 0 && order[p].Day < NoDay)
            list[it->second]["order"][DayShortName(order[p].Day)] = p;
    }
    ReplyJson(res, 200, list);
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
    std::optional<Event> stored = ReadEvent(db, number);
    if (!stored)
        throw ApiError(404, "there is no event " + std::to_string(number));
    json before = WithVersion(*stored);
    if (!version.empty() && version != before["version"])
        throw ApiError(409, "event " + std::to_string(number) +
                                " was changed by someone else since it was read; "
                                "reload it and make the change again");
    std::vector<Problem> problems = CheckMessageFile(e, folder_, &*stored);
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
    std::optional<Event> stored = ReadEvent(db, number);
    if (!stored)
        throw ApiError(404, "there is no event " + std::to_string(number));
    json before = WithVersion(*stored);
    if (!version.empty() && version != before["version"])
        throw ApiError(409, "event " + std::to_string(number) +
                                " was changed by someone else since it was read");
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
    PreviewResult result;
    try {
        result = RunPreview(dbPath_, options);
    } catch (const std::runtime_error& e) {
        throw ApiError(503, e.what());
    }
    json runs = json::array();
    for (const PreviewRun& r : result.Runs)
        runs.push_back({{"number", r.Number},
                        {"title", r.Title},
                        {"time", r.Time},
                        {"ran", r.Ran},
                        {"reason", r.Reason},
                        {"conditional", r.Conditional},
                        {"oneTime", r.OneTime},
                        {"what", r.What},
                        {"line", r.Line}});
    ReplyJson(res, 200, json{{"runs", runs}, {"errors", result.Errors}});
}

}  // namespace qtx::console
