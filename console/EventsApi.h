#pragma once
// The events and preview endpoints: events in the JSON form of the shared event model, each
// change one transaction, checked by the shared rules.
#include <string>

#include "common/Limits.h"
#include "console/AccountShares.h"
#include "console/AuditLog.h"
#include "console/HttpMessage.h"
#include "database/DBEngine.h"

namespace qtx::console {

class EventsApi {
  public:
    using Handler = void (EventsApi::*)(const HttpRequest&, HttpResponse&);

    EventsApi(std::string folder, AuditLog& audit);

    // Runs handler; a database fault becomes a 503 that says nothing was changed.
    void DatabaseFaults(Handler handler, const HttpRequest& req, HttpResponse& res);

    void List(const HttpRequest& req, HttpResponse& res);
    // The Week page's grid: per day a window of its occurrences from a time on (?from=hh:mm:ss,
    // ?count=, ?find= a part of "number title").
    void Week(const HttpRequest& req, HttpResponse& res);
    void One(const HttpRequest& req, HttpResponse& res);
    void Create(const HttpRequest& req, HttpResponse& res);
    void Update(const HttpRequest& req, HttpResponse& res);
    void Delete(const HttpRequest& req, HttpResponse& res);
    void Preview(const HttpRequest& req, HttpResponse& res);
    // POST /api/import (ImportApi.cpp): many events in one transaction, CSV or the list's JSON.
    void Import(const HttpRequest& req, HttpResponse& res);

  private:
    Database Open() const;

    std::string folder_;
    std::string dbPath_;
    AuditLog& audit_;
    AccountShares previewShares_{limits::PreviewsPerAccount};
};

}  // namespace qtx::console
