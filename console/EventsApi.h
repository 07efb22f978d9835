#pragma once
// The events, calendars and preview endpoints: events in the JSON form of the shared event
// model, each change one transaction, checked by the shared rules.
#include <memory>
#include <mutex>
#include <string>

#include "common/Clock.h"
#include "common/Limits.h"
#include "console/AccountShares.h"
#include "console/AuditLog.h"
#include "console/HttpMessage.h"
#include "console/WeekView.h"
#include "database/DBEngine.h"

namespace qtx::console {

class EventsApi {
  public:
    using Handler = void (EventsApi::*)(const HttpRequest&, HttpResponse&);

    // clock: today for the Week page and the five years an iCalendar import keeps.
    EventsApi(std::string folder, AuditLog& audit, Clock& clock);

    // Runs handler; a database fault becomes a 503 that says nothing was changed.
    void DatabaseFaults(Handler handler, const HttpRequest& req, HttpResponse& res);

    void List(const HttpRequest& req, HttpResponse& res);
    // The Week page's grid: per day a window of its occurrences from a time on (?from=hh:mm:ss,
    // ?count=, ?find= a part of "number title"), for the week holding ?week=YYYY-MM-DD (today's
    // by default): each day's date and the holidays of the calendars events avoid, and each
    // occurrence still to come as the engine will judge it (the preview's run of it).
    void Week(const HttpRequest& req, HttpResponse& res);
    void One(const HttpRequest& req, HttpResponse& res);
    void Create(const HttpRequest& req, HttpResponse& res);
    void Update(const HttpRequest& req, HttpResponse& res);
    void Delete(const HttpRequest& req, HttpResponse& res);
    void Preview(const HttpRequest& req, HttpResponse& res);
    // POST /api/import (ImportApi.cpp): many events in one transaction, CSV or the list's JSON.
    void Import(const HttpRequest& req, HttpResponse& res);
    // CalendarsApi.cpp: /api/calendars, /api/calendars/{name}, /api/calendars/{name}/import.
    void Calendars(const HttpRequest& req, HttpResponse& res);
    void ReplaceCalendars(const HttpRequest& req, HttpResponse& res);
    void OneCalendar(const HttpRequest& req, HttpResponse& res);
    void SetCalendar(const HttpRequest& req, HttpResponse& res);
    void DeleteCalendar(const HttpRequest& req, HttpResponse& res);
    void ImportCalendar(const HttpRequest& req, HttpResponse& res);

  private:
    Database Open() const;
    // The preview's runs of the week from Monday (a day number) on, from the moment from on:
    // the last ones while the file is unchanged and they are recent, else a new preview. Null
    // with why in note when there is none (too many runs; busy: the account's preview share is
    // taken, so asking again soon may find them).
    std::shared_ptr<const WeekRuns> RunsOfWeek(const std::string& user, int64_t monday,
                                               const LocalDateTime& from, std::string& note,
                                               bool& busy);

    std::string folder_;
    std::string dbPath_;
    AuditLog& audit_;
    Clock& clock_;
    AccountShares previewShares_{limits::PreviewsPerAccount};
    // The last week's runs, reused by the page's paging and Find while the file is unchanged.
    struct WeekRunsKept {
        int64_t Monday = 0;
        std::string FileStamp;
        uint32_t Tick = 0;
        std::shared_ptr<const WeekRuns> Runs;
    };
    std::mutex weekMutex_;
    WeekRunsKept weekKept_;
};

}  // namespace qtx::console
