#include "console/ConsoleAlarms.h"

#include <chrono>
#include <iostream>

#include "alarms/AlarmBook.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/AlarmStore.h"
#include "common/Constants.h"
#include "common/FileSystem.h"
#include "database/DBEngine.h"

namespace qtx::console {

namespace {

using alarms::AlarmKind;
using nlohmann::json;

constexpr const char* kEngineAbout = "engine";

}  // namespace

json AlarmApiJson(const alarms::Alarm& a) {
    return json::parse(alarms::AlarmJson(a));
}

ConsoleAlarms::ConsoleAlarms(std::string folder, Clock& clock, const EngineState& engine)
    : folder_(std::move(folder)),
      dbPath_(folder_ + constants::DatabaseFileName),
      clock_(clock),
      engine_(engine),
      desk_(clock, folder_ + kFileName, alarms::EngineName(folder_),
            [](const std::string& location, const std::string& text) {
                // The console's own delivery problems go to its log (the journal), not to the
                // engine's error log.
                std::cerr << "qtx-console: " << location << ": " << text << std::endl;
            }) {
    desk_.Load();
}

ConsoleAlarms::~ConsoleAlarms() {
    Stop();
}

void ConsoleAlarms::Start() {
    ReadRoutes();
    thread_ = std::thread([this] { Run(); });
}

void ConsoleAlarms::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ConsoleAlarms::FromEngine(const json& stored, bool live) {
    if (auto a = alarms::ParseStoredAlarm(stored))
        desk_.Record(*a, live);
}

json ConsoleAlarms::List() const {
    json out = {{"active", json::array()}, {"cleared", json::array()}};
    for (const alarms::Alarm& a : desk_.Active())
        out["active"].push_back(AlarmApiJson(a));
    for (const alarms::Alarm& a : desk_.Recent())
        out["cleared"].push_back(AlarmApiJson(a));
    return out;
}

std::string ConsoleAlarms::MetricsText() const {
    std::map<AlarmKind, int> active;
    for (const alarms::Alarm& a : desk_.Active())
        ++active[a.Kind];
    const auto raised = desk_.RaisedCounts();
    std::string out =
        "# HELP qtx_alarm_active 1 while an alarm of the kind is raised.\n"
        "# TYPE qtx_alarm_active gauge\n";
    for (AlarmKind k : alarms::AllKinds())
        out += "qtx_alarm_active{kind=\"" + alarms::KindName(k) + "\"} " +
               (active.count(k) ? "1" : "0") + "\n";
    out +=
        "# HELP qtx_alarms_raised_total Alarms raised since the console started, by kind.\n"
        "# TYPE qtx_alarms_raised_total counter\n";
    for (AlarmKind k : alarms::AllKinds()) {
        const auto it = raised.find(k);
        out += "qtx_alarms_raised_total{kind=\"" + alarms::KindName(k) + "\"} " +
               std::to_string(it == raised.end() ? 0 : it->second) + "\n";
    }
    return out;
}

void ConsoleAlarms::ReadRoutes() {
    try {
        if (!NormalFileExists(dbPath_))
            return;
        dbTime_ = FileTimeText(dbPath_);
        DBEngine engine;
        Database db = engine.OpenDatabase(dbPath_);
        std::vector<alarms::AlarmRoute> routes = alarms::LoadRoutes(db);
        db.Close();
        desk_.SetRoutes(std::move(routes));
    } catch (const std::exception& e) {
        std::cerr << "qtx-console: alarm routes: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "qtx-console: alarm routes: cannot be read from " << dbPath_ << std::endl;
    }
}

void ConsoleAlarms::Run() {
    uint32_t last = clock_.TickCount();
    int64_t now = 0, goneSince = 0, lastRouteLook = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(200));
        if (stop_)
            break;
        lock.unlock();
        const uint32_t t = clock_.TickCount();
        now += static_cast<uint32_t>(t - last);
        last = t;
        if (engine_.GetCounts().Running) {
            goneSince = -1;
            desk_.Clear(AlarmKind::EngineNotRunning, kEngineAbout);
        } else {
            if (goneSince < 0)
                goneSince = now;
            if (now - goneSince >= kEngineGoneMs &&
                !desk_.IsRaised(AlarmKind::EngineNotRunning, kEngineAbout))
                desk_.Raise(AlarmKind::EngineNotRunning, kEngineAbout,
                            "engine not running: its state channel has been gone for " +
                                std::to_string((now - goneSince) / 1000) + " s");
        }
        if (now - lastRouteLook >= 1000) {
            lastRouteLook = now;
            try {
                if (NormalFileExists(dbPath_) && FileTimeText(dbPath_) != dbTime_)
                    ReadRoutes();
            } catch (...) {
            }
        }
        lock.lock();
    }
}

}  // namespace qtx::console
