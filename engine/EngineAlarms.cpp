#include "engine/EngineAlarms.h"

#include "engine/Confirmations.h"

#include <exception>

#include "alarms/AlarmBook.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/AlarmStore.h"
#include "common/FileSystem.h"
#include "common/Text.h"
#include "database/EngineSettings.h"
#include "engine/Confirmations.h"

namespace qtx {

namespace {

using alarms::AlarmKind;

constexpr int64_t kErrorWindowMs = 60000;

// Error-log locations whose entries raise an alarm of their own.
bool HasItsOwnAlarm(const std::string& location) {
    return location == "Take Not Confirmed" || location == "Sum On Not Confirmed" ||
           location == "Sum Off Not Confirmed" || location == "Group Role";
}

std::string LinkAbout(int link) {
    return "link " + std::to_string(link);
}

}  // namespace

EngineAlarms::EngineAlarms(Variables& vars, Logs& logs, MainWindow& view, Clock& clock,
                           DBEngine& db, alarms::DeliveryOptions delivery)
    : v_(vars), logs_(logs), view_(view), clock_(clock), db_(db), deliveryOptions_(delivery) {}

// The desk (and its delivery thread, which queues error entries here) goes first.
EngineAlarms::~EngineAlarms() {
    desk_.reset();
}

void EngineAlarms::Start() {
    if (desk_)
        return;
    desk_ = std::make_unique<alarms::AlarmDesk>(
        clock_, v_.AppDir + AlarmFileName, alarms::EngineName(v_.AppDir),
        [this](const std::string& location, const std::string& text) {
            std::lock_guard<std::mutex> lock(queuedMutex_);
            if (queuedErrors_.size() < 1000)
                queuedErrors_.emplace_back(location, text);
        },
        deliveryOptions_);
    desk_->Load();
    auto show = [this](const alarms::Alarm& a) {
        view_.ShowAlarm(AlarmNotice{
            a.Id, a.State == alarms::AlarmState::Raised,
            alarms::StoredAlarm(a).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    };
    const std::vector<alarms::Alarm> recent = desk_->Recent();
    for (auto it = recent.rbegin(); it != recent.rend(); ++it)
        show(*it);
    for (const alarms::Alarm& a : desk_->Active())
        show(a);
    desk_->OnChange = show;
    lastTick_ = clock_.TickCount();
    // A link counts as down from the start until it is seen up.
    downSince_[0] = downSince_[1] = NowMs();
    ReadDatabase();
}

void EngineAlarms::ReadDatabase() {
    if (!desk_)
        return;
    try {
        if (!NormalFileExists(v_.DBPath))
            return;
        Database db = db_.OpenDatabase(v_.DBPath);
        std::vector<alarms::AlarmRoute> routes = alarms::LoadRoutes(db);
        linkAlarmAfterS_ =
            static_cast<int>(settings::ReadSettings(db).at(settings::LinkAlarmAfter));
        db.Close();
        desk_->SetRoutes(std::move(routes));
    } catch (...) {
        // A file the load cannot read either: its report is the load's; the routes stay.
    }
}

int64_t EngineAlarms::NowMs() {
    const uint32_t t = clock_.TickCount();
    elapsedMs_ += static_cast<uint32_t>(t - lastTick_);
    lastTick_ = t;
    return elapsedMs_;
}

void EngineAlarms::Tick() {
    if (!desk_)
        return;
    try {
        WatchLink(0, v_.ServerConnected && v_.SwitcherConnected,
                  !v_.ServerConnected ? "server not connected" : "switcher offline");
        if (v_.SlaveEnabled)
            WatchLink(1, v_.SlaveConnected && v_.SlaveSwitcherConnected,
                      !v_.SlaveConnected ? "server not connected" : "switcher offline");
        else
            WatchLink(1, true, "");
        const int64_t now = NowMs();
        for (auto it = errorWindows_.begin(); it != errorWindows_.end();) {
            ErrorWindow& w = it->second;
            if (now - w.StartMs < kErrorWindowMs) {
                ++it;
            } else if (w.Suppressed > 0) {
                RaiseError(it->first, w.LastText, w.Suppressed - 1);
                w = ErrorWindow{now, 0, ""};
                ++it;
            } else {
                desk_->Clear(AlarmKind::ErrorLogged, it->first);
                it = errorWindows_.erase(it);
            }
        }
        FlushQueuedErrors();
    } catch (...) {
        logs_.ReportError("Error Raising Alarm");
    }
}

void EngineAlarms::WatchLink(int link, bool up, const char* why) {
    const std::string about = LinkAbout(link);
    if (up) {
        downSince_[link] = -1;
        desk_->Clear(AlarmKind::LinkDown, about);
        return;
    }
    const int64_t now = NowMs();
    if (downSince_[link] < 0)
        downSince_[link] = now;
    if (now - downSince_[link] >= int64_t{linkAlarmAfterS_} * 1000 &&
        !desk_->IsRaised(AlarmKind::LinkDown, about))
        desk_->Raise(AlarmKind::LinkDown, about, about + " down: " + why, std::nullopt, link);
}

void EngineAlarms::Outcome(const EventOutcome& o) {
    if (!desk_)
        return;
    try {
        const std::string about = "event " + std::to_string(o.Number);
        using state::Refusal;
        if (o.Ran) {
            desk_->Clear(AlarmKind::EventRefused, about);
        } else if (o.Reason == Refusal::ServerNotConnected ||
                   o.Reason == Refusal::SwitcherNotConnected) {
            const std::string title = Cp1252ToUtf8(o.Title);
            desk_->Raise(AlarmKind::EventRefused, about,
                         title + ": event " + std::to_string(o.Number) + " at " +
                             Cp1252ToUtf8(o.Day) + " " + Cp1252ToUtf8(o.Time) +
                             " not run: " + state::RefusalText(o.Reason),
                         alarms::AlarmEvent{o.Number, title}, 0);
        }
    } catch (...) {
        logs_.ReportError("Error Raising Alarm");
    }
}

void EngineAlarms::ErrorEntry(const std::string& location, const std::string& faultText) {
    if (!desk_ || HasItsOwnAlarm(location))
        return;
    try {
        const int64_t now = NowMs();
        auto it = errorWindows_.find(location);
        if (it == errorWindows_.end()) {
            errorWindows_[location] = ErrorWindow{now, 0, ""};
            RaiseError(location, faultText, 0);
        } else {
            ++it->second.Suppressed;
            it->second.LastText = faultText;
        }
    } catch (...) {
        // An entry is being written already; a second one about this one would loop.
    }
}

void EngineAlarms::RaiseError(const std::string& location, const std::string& text, int more) {
    const std::string loc = Cp1252ToUtf8(location);
    desk_->Clear(AlarmKind::ErrorLogged, location);
    std::string words = "Errorlog.txt: " + loc + ": " + Cp1252ToUtf8(text);
    if (more > 0)
        words += " (and " + std::to_string(more) + " more at " + loc + " in the last minute)";
    desk_->Raise(AlarmKind::ErrorLogged, location, words);
}

void EngineAlarms::FlushQueuedErrors() {
    std::vector<std::pair<std::string, std::string>> entries;
    {
        std::lock_guard<std::mutex> lock(queuedMutex_);
        entries.swap(queuedErrors_);
    }
    for (const auto& [location, text] : entries)
        logs_.WriteErrorLog(text, location);
}

void EngineAlarms::Confirmation(const ConfirmOutcome& o) {
    if (!desk_)
        return;
    try {
        if (o.Result == state::ConfirmResult::NotConfirmed) {
            desk_->Raise(AlarmKind::TakeNotConfirmed,
                         "event " + std::to_string(o.Number) + " " + o.Day + " " + o.Time +
                             " link " + std::to_string(o.Link),
                         Cp1252ToUtf8(NotConfirmedText(o)),
                         alarms::AlarmEvent{o.Number, Cp1252ToUtf8(o.Title)}, o.Link);
        } else if (o.Result == state::ConfirmResult::Confirmed) {
            for (const alarms::Alarm& a : desk_->Active())
                if (a.Kind == AlarmKind::TakeNotConfirmed && a.Event &&
                    a.Event->Number == o.Number && a.Link == o.Link)
                    desk_->Clear(a.Kind, a.About);
        }
    } catch (...) {
        logs_.ReportError("Error Raising Alarm");
    }
}

void EngineAlarms::Role(const state::RoleState& role) {
    if (!desk_)
        return;
    try {
        constexpr const char* kAbout = "group";
        if (role.Role != state::ClusterRole::NoLeader) {
            desk_->Clear(AlarmKind::NoLeader, kAbout);
            return;
        }
        // One alarm for the whole spell without a leader, with the reason it began with; each
        // new reason has its own error-log entry.
        if (!desk_->IsRaised(AlarmKind::NoLeader, kAbout))
            desk_->Raise(AlarmKind::NoLeader, kAbout, "no leader in the group: " + role.Reason);
    } catch (...) {
        logs_.ReportError("Error Raising Alarm");
    }
}

void EngineAlarms::EditOverwritten(const std::string& about, const std::string& text) {
    if (!desk_)
        return;
    try {
        desk_->Raise(AlarmKind::EditOverwritten, about, text);
    } catch (...) {
        logs_.ReportError("Error Raising Alarm");
    }
}

}  // namespace qtx
