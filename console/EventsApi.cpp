#include "console/EventsApi.h"

#include <httplib.h>
#include <unistd.h>

#include <ctime>

#include "common/Fault.h"
#include "console/EventJson.h"
#include "console/HttpJson.h"
#include "database/DBEngine.h"
#include "preview/Preview.h"
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

int NumberOf(const httplib::Request& req) {
    return static_cast<int>(ParseNumber(req.matches[1].str(), 1, 32767, "event number"));
}

// The version the client edited, from the body's "version" or an If-Match header; empty when
// the client gave none (it then overwrites whatever is stored).
std::string ClientVersion(const httplib::Request& req, const json* body) {
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

void Unprocessable(httplib::Response& res, const std::vector<Problem>& problems) {
    ReplyJson(res, 422,
              json{{"error", problems.front().Message}, {"errors", ProblemsToJson(problems)}});
}

}  // namespace

EventsApi::EventsApi(std::string folder, AuditLog& audit, RequireRole require)
    : folder_(std::move(folder)),
      dbPath_(folder_ + "QTXAutomation.mdb"),
      audit_(audit),
      require_(std::move(require)) {}

void EventsApi::Register(httplib::Server& http) {
    auto open = [this]() {
        if (access(dbPath_.c_str(), F_OK) != 0)
            throw ApiError(503, dbPath_ + ": there is no event database in the program folder");
        DBEngine engine;
        return engine.OpenDatabase(dbPath_);
    };
    // Database faults (a locked file, a broken one) become 503 with the fault's words.
    auto guarded = [](auto body) {
        return Guarded([body](const httplib::Request& req, httplib::Response& res) {
            try {
                body(req, res);
            } catch (const Fault& f) {
                throw ApiError(503, "event database: " + f.Description + " (" +
                                        std::to_string(f.Number) + "); nothing was changed");
            }
        });
    };

    http.Get("/api/events",
             guarded([this, open](const httplib::Request& req, httplib::Response& res) {
                 require_(req, Role::Viewer);
                 Database db = open();
                 db.BeginRead();
                 std::vector<Event> events = ReadEvents(db);
                 db.CommitTrans();
                 json list = json::array();
                 for (const Event& e : events)
                     list.push_back(WithVersion(e));
                 ReplyJson(res, 200, list);
             }));

    http.Get(R"(/api/events/([^/]+))",
             guarded([this, open](const httplib::Request& req, httplib::Response& res) {
                 require_(req, Role::Viewer);
                 int number = NumberOf(req);
                 Database db = open();
                 std::optional<Event> e = ReadEvent(db, number);
                 if (!e)
                     throw ApiError(404, "there is no event " + std::to_string(number));
                 json j = WithVersion(*e);
                 res.set_header("ETag", "\"" + j["version"].get<std::string>() + "\"");
                 ReplyJson(res, 200, j);
             }));

    http.Post("/api/events",
              guarded([this, open](const httplib::Request& req, httplib::Response& res) {
                  Session s = require_(req, Role::Operator);
                  json body = BodyJson(req);
                  Event e = EventFromJson(body, false);
                  if (const auto files = CheckMessageFile(e, folder_); !files.empty())
                      return Unprocessable(res, files);
                  Database db = open();
                  std::vector<Problem> problems = CreateEvent(db, e);
                  if (!problems.empty()) {
                      bool taken = e.Number != 0 && problems.front().Field == "number" &&
                                   problems.front().Message.find("used") != std::string::npos;
                      if (taken)
                          throw ApiError(409, problems.front().Message, "number");
                      return Unprocessable(res, problems);
                  }
                  std::optional<Event> stored = ReadEvent(db, e.Number);
                  json after = stored ? WithVersion(*stored) : WithVersion(e);
                  audit_.Append(s.User, req.remote_addr, "event-create",
                                "event " + std::to_string(e.Number), nullptr, after);
                  ReplyJson(res, 201, after);
              }));

    http.Put(R"(/api/events/([^/]+))",
             guarded([this, open](const httplib::Request& req, httplib::Response& res) {
                 Session s = require_(req, Role::Operator);
                 int number = NumberOf(req);
                 json body = BodyJson(req);
                 if (body.is_object() && !body.contains("number"))
                     body["number"] = number;
                 Event e = EventFromJson(body, true);
                 std::string version = ClientVersion(req, &body);
                 Database db = open();
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
                 db.CommitTrans();
                 json after = now ? WithVersion(*now) : WithVersion(e);
                 audit_.Append(s.User, req.remote_addr, "event-update",
                               "event " + std::to_string(number), before, after);
                 ReplyJson(res, 200, after);
             }));

    http.Delete(R"(/api/events/([^/]+))",
                guarded([this, open](const httplib::Request& req, httplib::Response& res) {
                    Session s = require_(req, Role::Operator);
                    int number = NumberOf(req);
                    std::string version = req.has_param("version") ? req.get_param_value("version")
                                                                   : ClientVersion(req, nullptr);
                    Database db = open();
                    db.BeginTrans();
                    std::optional<Event> stored = ReadEvent(db, number);
                    if (!stored)
                        throw ApiError(404, "there is no event " + std::to_string(number));
                    json before = WithVersion(*stored);
                    if (!version.empty() && version != before["version"])
                        throw ApiError(409, "event " + std::to_string(number) +
                                                " was changed by someone else since it was read");
                    DeleteEvent(db, number);
                    db.CommitTrans();
                    audit_.Append(s.User, req.remote_addr, "event-delete",
                                  "event " + std::to_string(number), before, nullptr);
                    ReplyJson(res, 200, json{{"deleted", number}});
                }));

    http.Get("/api/preview", guarded([this](const httplib::Request& req, httplib::Response& res) {
                 require_(req, Role::Viewer);
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
                     options.Days =
                         static_cast<int>(ParseNumber(req.get_param_value("days"), 1, 31, "days"));
                 if (access(dbPath_.c_str(), F_OK) != 0)
                     throw ApiError(503,
                                    dbPath_ + ": there is no event database in the program folder");
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
             }));
}

}  // namespace qtx::console
