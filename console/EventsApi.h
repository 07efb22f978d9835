#pragma once
// The events and preview endpoints: events in the JSON form of the shared event model, each
// change one transaction, checked by the shared rules.
#include <functional>
#include <string>

#include "console/Accounts.h"
#include "console/AuditLog.h"
#include "console/Sessions.h"

namespace httplib {
class Server;
struct Request;
}  // namespace httplib

namespace qtx::console {

class EventsApi {
  public:
    using RequireRole = std::function<Session(const httplib::Request&, Role)>;

    EventsApi(std::string folder, AuditLog& audit, RequireRole require);
    void Register(httplib::Server& http);

  private:
    std::string folder_;
    std::string dbPath_;
    AuditLog& audit_;
    RequireRole require_;
};

}  // namespace qtx::console
