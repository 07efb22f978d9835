// POST /api/import: the events of a CSV file (the forms `qtx-eventdb import` takes) or of a JSON
// list (as GET /api/events gives it), checked and stored by the event tool's own import, in one
// transaction and one audit line.
#include <mutex>

#include "console/EventJson.h"
#include "console/EventsApi.h"
#include "console/HttpJson.h"
#include "console/RouteTable.h"
#include "eventdb/EventImport.h"

namespace qtx::console {

using nlohmann::json;
using namespace qtx::schedule;

namespace {

// One import at a time: each may hold a body of up to 64 MiB and its events several times over.
std::mutex& ImportRunning() {
    static std::mutex running;
    return running;
}

bool ReplaceWanted(const HttpRequest& req) {
    if (!req.has_param("replace"))
        return false;
    return ParseNumber(req.get_param_value("replace"), 0, 1, "replace") == 1;
}

// The events of the list; a malformed one is ApiError 400 naming its place.
std::vector<Event> EventsOfList(const HttpRequest& req) {
    const json list = BodyJson(req);
    if (!list.is_array())
        throw ApiError(400, "the body must be a JSON list of events");
    std::vector<Event> events;
    events.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        try {
            events.push_back(EventFromJson(list[i], false));
        } catch (const ApiError& e) {
            throw ApiError(e.Status, "event " + std::to_string(i + 1) + " of the list: " + e.what(),
                           e.Field);
        }
    }
    return events;
}

std::string PlaceOf(const ImportRefusal& r) {
    switch (r.Place) {
        case ImportPlace::Line:
            return "line " + std::to_string(r.At) + ": ";
        case ImportPlace::Item:
            return "event " + std::to_string(r.At) + " of the list: ";
        case ImportPlace::File:
            return "the event file: ";
        case ImportPlace::Whole:
            break;
    }
    return "";
}

// The numbers of the events stored now.
json StoredNumbers(Database& db) {
    json numbers = json::array();
    for (const auto& row : db.QueryRaw("SELECT DISTINCT Number FROM Automation ORDER BY 1"))
        if (row[0].kind == RawValue::Integer)
            numbers.push_back(row[0].integer);
    return numbers;
}

}  // namespace

void EventsApi::Import(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    const bool replace = ReplaceWanted(req);
    std::unique_lock<std::mutex> one(ImportRunning(), std::try_to_lock);
    if (!one.owns_lock())
        throw ApiError(503, "another import is running; try again when it has finished");
    const bool csv = RequestMediaType(req) == "text/csv";
    std::vector<Event> events;
    if (!csv)
        events = EventsOfList(req);

    Database db = Open();
    db.BeginTrans();
    const json before = replace ? json{{"numbers", StoredNumbers(db)}} : json(nullptr);
    const ImportResult result = csv ? ImportCsv(db, folder_, req.body, replace)
                                    : ImportEvents(db, folder_, std::move(events), replace);
    if (!result.Refusals.empty()) {
        db.Rollback();
        const ImportRefusal& first = result.Refusals.front();
        json answer{{"error", PlaceOf(first) + first.Message},
                    {"refused", result.Refusals.size()},
                    {"errors", ProblemsToJson(first.Problems)}};
        if (first.Place == ImportPlace::Line)
            answer["line"] = first.At;
        else if (first.Place == ImportPlace::Item)
            answer["event"] = first.At;
        return ReplyJson(res, 422, answer);
    }
    const json after{{"replace", replace},
                     {"form", csv ? "csv" : "json"},
                     {"events", result.Numbers.size()},
                     {"rows", result.Rows},
                     {"numbers", result.Numbers}};
    audit_.Record(s.User, req.remote_addr, "event-import", "events", before, after);
    db.CommitTrans();
    ReplyJson(res, 200,
              json{{"imported", result.Numbers.size()},
                   {"rows", result.Rows},
                   {"replace", replace},
                   {"numbers", result.Numbers}});
}

}  // namespace qtx::console
