// The calendars: named sets of dates that events avoid (except) or follow (only). A calendar in
// JSON is {"name", "count", "usedBy", "dates": [{"date": "YYYY-MM-DD", "title"}]}; "count" and
// "usedBy" (the events naming it) are the server's and ignored when it comes back. Each change is
// one transaction and one audit line, checked by the shared calendar rules; an iCalendar file is
// read by the event tool's own import, over the same five years from today.
#include <algorithm>
#include <set>

#include "common/DateTime.h"
#include "console/EventJson.h"
#include "console/EventsApi.h"
#include "console/HttpJson.h"
#include "eventdb/IcsImport.h"
#include "schedule/DateStore.h"
#include "schedule/Rules.h"
#include "schedule/TransactionScope.h"

namespace qtx::console {

using nlohmann::json;
using namespace qtx::schedule;

namespace {

json CalendarJson(Database& db, const Calendar& c) {
    json dates = json::array();
    for (const CalendarDate& d : c.Dates)
        dates.push_back({{"date", FormatDate(d.Day)}, {"title", d.Title}});
    return {{"name", c.Name},
            {"count", c.Dates.size()},
            {"usedBy", CalendarUsers(db, c.Name)},
            {"dates", std::move(dates)}};
}

json AllCalendarsJson(Database& db) {
    json list = json::array();
    for (const Calendar& c : ReadCalendars(db))
        list.push_back(CalendarJson(db, c));
    return list;
}

// The calendar of that name as JSON, null when the file has none.
json CalendarOrNull(Database& db, const std::string& name) {
    for (const Calendar& c : ReadCalendars(db))
        if (c.Name == name)
            return CalendarJson(db, c);
    return nullptr;
}

// A problem of a calendar sent, in the shared rules' shape, at field (the form's path to it).
Problem CalendarProblem(const std::string& name, const std::string& field, const std::string& value,
                        const std::string& what, const std::string& allowed) {
    Problem p;
    p.Field = field;
    p.Value = value;
    p.Allowed = allowed;
    p.Message = "calendar \"" + name + "\": date \"" + value + "\" " + what +
                (allowed.empty() ? "" : " (" + allowed + ")");
    return p;
}

// The rules' problems of one calendar's name and each date's title, renamed to their place in
// the form (prefix "" for one calendar, "3." for the fourth of a list).
void AddRenamed(std::vector<Problem>& out, std::vector<Problem> found, const std::string& field) {
    for (Problem& p : found) {
        p.Field = field;
        out.push_back(std::move(p));
    }
}

// A calendar as sent: its dates, checked. A wrong shape is ApiError 400 (where names it); a
// name, date or title the rules refuse, or a date given twice, goes to problems.
std::vector<CalendarDate> DatesOf(const json& body, const std::string& name,
                                  const std::string& prefix, const std::string& where,
                                  std::vector<Problem>& problems) {
    if (!body.is_object())
        throw ApiError(400, where + " must be an object {\"dates\": [...]}");
    for (const auto& [k, v] : body.items())
        if (k != "name" && k != "dates" && k != "count" && k != "usedBy")
            throw ApiError(400, where + ": unknown field \"" + k + "\"");
    if (!body.contains("dates") || !body["dates"].is_array())
        throw ApiError(400, where + ": dates must be a list of {\"date\", \"title\"}");
    AddRenamed(problems, CheckCalendarName(name), prefix + "name");
    std::vector<CalendarDate> dates;
    std::set<int64_t> seen;
    const json& list = body["dates"];
    for (size_t i = 0; i < list.size(); ++i) {
        const json& d = list[i];
        const std::string at = prefix + "dates." + std::to_string(i) + ".";
        if (!d.is_object() || !d.contains("date") || !d["date"].is_string())
            throw ApiError(400, where + ": date " + std::to_string(i + 1) +
                                    " must be {\"date\": \"YYYY-MM-DD\", \"title\": TEXT}");
        for (const auto& [k, v] : d.items())
            if (k != "date" && k != "title")
                throw ApiError(400, where + ": date " + std::to_string(i + 1) +
                                        ": unknown field \"" + k + "\"");
        if (d.contains("title") && !d["title"].is_string())
            throw ApiError(400,
                           where + ": date " + std::to_string(i + 1) + ": title must be a text");
        const std::string text = d["date"].get<std::string>();
        const std::string title = d.value("title", std::string());
        const std::optional<int64_t> day = ParseDate(text);
        if (!day)
            problems.push_back(CalendarProblem(name, at + "date", text, "is not a date",
                                               "YYYY-MM-DD, a date that exists"));
        else if (!seen.insert(*day).second)
            problems.push_back(CalendarProblem(name, at + "date", text, "is given twice",
                                               "each date once, with one title"));
        AddRenamed(problems, CheckCalendarTitle(name, title), at + "title");
        if (day)
            dates.push_back({*day, title});
    }
    std::sort(dates.begin(), dates.end(),
              [](const CalendarDate& a, const CalendarDate& b) { return a.Day < b.Day; });
    return dates;
}

void Unprocessable(HttpResponse& res, const std::vector<Problem>& problems) {
    ReplyJson(res, 422,
              json{{"error", problems.front().Message}, {"errors", ProblemsToJson(problems)}});
}

std::string Joined(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers)
        out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out;
}

// 409 when events name the calendar: it cannot go while they avoid or follow it.
void RefuseWhileUsed(Database& db, const std::string& name) {
    const std::vector<int> users = CalendarUsers(db, name);
    if (users.empty())
        return;
    throw ApiError(409, "calendar \"" + name + "\" is used by event" +
                            (users.size() == 1 ? " " : "s ") + Joined(users) +
                            "; take it out of their except and only first");
}

// The calendar name of the path, checked by the rules (422 when it is not a name).
std::string PathName(const HttpRequest& req, HttpResponse& res, bool& refused) {
    const std::string name = req.matches[1];
    std::vector<Problem> problems;
    AddRenamed(problems, CheckCalendarName(name), "name");
    refused = !problems.empty();
    if (refused)
        Unprocessable(res, problems);
    return name;
}

}  // namespace

void EventsApi::Calendars(const HttpRequest&, HttpResponse& res) {
    Database db = Open();
    TransactionScope read(db, true);
    json list = AllCalendarsJson(db);
    read.Commit();
    ReplyJson(res, 200, list);
}

void EventsApi::ReplaceCalendars(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    const json body = BodyJson(req);
    if (!body.is_array())
        throw ApiError(400, "calendars: the body must be a JSON list of calendars");
    std::vector<Problem> problems;
    std::vector<std::pair<std::string, std::vector<CalendarDate>>> given;
    std::set<std::string> names;
    for (size_t i = 0; i < body.size(); ++i) {
        const std::string where = "calendar " + std::to_string(i + 1) + " of the list";
        const std::string prefix = std::to_string(i) + ".";
        if (!body[i].is_object() || !body[i].contains("name") || !body[i]["name"].is_string())
            throw ApiError(400, where + " must have a name (a text)");
        const std::string name = body[i]["name"].get<std::string>();
        std::vector<CalendarDate> dates = DatesOf(body[i], name, prefix, where, problems);
        if (!names.insert(name).second) {
            Problem p = CalendarProblem(name, prefix + "name", name, "", "");
            p.Message = "calendar \"" + name + "\" is given twice";
            p.Allowed = "each calendar once";
            problems.push_back(std::move(p));
        }
        given.emplace_back(name, std::move(dates));
    }
    if (!problems.empty())
        return Unprocessable(res, problems);
    Database db = Open();
    TransactionScope change(db);
    const json before = AllCalendarsJson(db);
    for (const std::string& name : CalendarNames(db)) {
        if (names.count(name) != 0)
            continue;
        RefuseWhileUsed(db, name);
        RemoveCalendar(db, name);
    }
    for (const auto& [name, dates] : given)
        ReplaceCalendarDates(db, name, dates);
    const json after = AllCalendarsJson(db);
    audit_.Record(s.User, req.remote_addr, "calendars-replace", "calendars", before, after);
    change.Commit();
    ReplyJson(res, 200, after);
}

void EventsApi::OneCalendar(const HttpRequest& req, HttpResponse& res) {
    const std::string name = req.matches[1];
    Database db = Open();
    TransactionScope read(db, true);
    json c = CalendarOrNull(db, name);
    read.Commit();
    if (c.is_null())
        throw ApiError(404, "there is no calendar \"" + name + "\"");
    ReplyJson(res, 200, c);
}

void EventsApi::SetCalendar(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    bool refused = false;
    const std::string name = PathName(req, res, refused);
    if (refused)
        return;
    const json body = BodyJson(req);
    if (body.is_object() && body.contains("name") && body["name"] != name)
        throw ApiError(400, "calendar: the body's name differs from the path's \"" + name +
                                "\" (a calendar is renamed by making the new one and deleting "
                                "the old)");
    std::vector<Problem> problems;
    const std::vector<CalendarDate> dates = DatesOf(body, name, "", "calendar", problems);
    if (!problems.empty())
        return Unprocessable(res, problems);
    Database db = Open();
    TransactionScope change(db);
    const json before = CalendarOrNull(db, name);
    ReplaceCalendarDates(db, name, dates);
    const json after = CalendarOrNull(db, name);
    audit_.Record(s.User, req.remote_addr, "calendar-set", "calendar " + name, before, after);
    change.Commit();
    ReplyJson(res, before.is_null() ? 201 : 200, after);
}

void EventsApi::DeleteCalendar(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    const std::string name = req.matches[1];
    Database db = Open();
    TransactionScope change(db);
    const json before = CalendarOrNull(db, name);
    if (before.is_null())
        throw ApiError(404, "there is no calendar \"" + name + "\"");
    RefuseWhileUsed(db, name);
    RemoveCalendar(db, name);
    audit_.Record(s.User, req.remote_addr, "calendar-delete", "calendar " + name, before, nullptr);
    change.Commit();
    ReplyJson(res, 200, json{{"deleted", name}});
}

void EventsApi::ImportCalendar(const HttpRequest& req, HttpResponse& res) {
    const Session& s = *req.session;
    bool refused = false;
    const std::string name = PathName(req, res, refused);
    if (refused)
        return;
    const LocalDateTime now = clock_.Now();
    std::vector<CalendarDate> dates;
    try {
        dates = ReadIcsDatesFrom(req.body, DaysFromCivil(now.Year, now.Month, now.Day));
    } catch (const IcsError& e) {
        return ReplyJson(
            res, 422,
            json{{"error", std::string(e.what()) + "; nothing stored"}, {"line", e.Line}});
    }
    std::vector<Problem> problems;
    for (size_t i = 0; i < dates.size(); ++i)
        AddRenamed(problems, CheckCalendarTitle(name, dates[i].Title),
                   "dates." + std::to_string(i) + ".title");
    if (!problems.empty())
        return Unprocessable(res, problems);
    Database db = Open();
    TransactionScope change(db);
    const json before = CalendarOrNull(db, name);
    ReplaceCalendarDates(db, name, dates);
    const json after = CalendarOrNull(db, name);
    audit_.Record(s.User, req.remote_addr, "calendar-import", "calendar " + name, before, after);
    change.Commit();
    ReplyJson(res, 200, json{{"imported", dates.size()}, {"calendar", after}});
}

}  // namespace qtx::console
