#include "console/EventsApi.h"

#include "console/HttpJson.h"

namespace qtx::console {

EventsApi::EventsApi(std::string folder, AuditLog& audit, RequireRole require)
    : folder_(std::move(folder)), dbPath_(folder_ + "QTXAutomation.mdb"), audit_(audit),
      require_(std::move(require)) {}

void EventsApi::Register(httplib::Server& http) {
    auto unavailable = Guarded([this](const httplib::Request& req, httplib::Response& res) {
        require_(req, Role::Viewer);
        ReplyError(res, 503, "events are not available in this build");
    });
    http.Get(R"(/api/events(/.*)?)", unavailable);
    http.Post(R"(/api/events(/.*)?)", unavailable);
    http.Put(R"(/api/events(/.*)?)", unavailable);
    http.Delete(R"(/api/events(/.*)?)", unavailable);
    http.Get("/api/preview", unavailable);
}

}  // namespace qtx::console
