#include "ui/StateChannel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common/Limits.h"
#include "common/Text.h"

namespace qtx {

namespace {

using nlohmann::json;

namespace f = state::field;

json LinkJson(state::LinkState link) {
    const state::LinkFlags flags = state::FlagsOf(link);
    return json{{f::Server, flags.Server}, {f::Switcher, flags.Switcher}};
}

json Message(state::MessageKind kind) {
    return json{{f::Type, state::KindName(kind)}};
}

std::string Line(const json& j) {
    // Invalid bytes cannot occur (every text is converted from Windows-1252), but a dump must
    // never throw into the engine.
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// A history row's confirmation fields: the result, confirmed, and the time or the reason.
void AddRowConfirmation(json& j, const state::RowConfirmation& c) {
    j[f::Confirmation] = state::ConfirmResultName(c.Result);
    j[f::Confirmed] = c.Result == state::ConfirmResult::Confirmed;
    if (c.Result == state::ConfirmResult::Confirmed)
        j[f::ConfirmMs] = c.Ms;
    else
        j[f::ConfirmReason] = c.Reason;
}

json RoleJson(const state::RoleState& r, const state::ClaimCounts& c) {
    return json{{f::Role, state::RoleName(r.Role)},
                {f::Leader, r.Leader},
                {f::Reason, r.Reason},
                {f::LeaderChanges, r.LeaderChanges},
                {f::Claims,
                 {{f::Claimed, c.Claimed},
                  {f::AlreadyClaimed, c.AlreadyClaimed},
                  {f::NotLeader, c.NotLeader}}}};
}

json UnfinishedJson(const state::UnfinishedRun& u) {
    return json{{f::Number, u.Number}, {f::Title, u.Title}, {f::Date, u.Date},
                {f::Time, u.Time},     {f::Node, u.Node},   {f::Actions, u.Actions}};
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

StateChannel::StateChannel(MainWindow& inner, EventLoop& loop, std::string appDir,
                           size_t queueLimit)
    : inner_(inner), loop_(loop), path_(std::move(appDir) + kSocketName), queueLimit_(queueLimit) {}

StateChannel::~StateChannel() {
    Close();
}

// The socket's name in the program folder is the engine's own, and the folder lock makes this
// engine the only one of its folder, so whatever holds the name is stale or an impostor: a socket
// (answering or not), a symbolic link (the link is removed, never what it names) or any other
// non-directory entry is removed before the bind. A directory is left alone: it may hold someone's
// files, and the engine then offers no channel rather than remove them.
bool StateChannel::Open() {
    if (listenFd_ >= 0)
        return true;
    sockaddr_un addr;
    if (!FillAddress(path_, addr))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Another process may take the name again between the removal and the bind: a few tries.
    bool bound = false;
    for (int attempt = 0; attempt < 3 && !bound; ++attempt) {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode) || ::unlink(path_.c_str()) != 0)
                break;
        }
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (!bound && errno != EADDRINUSE)
            break;
    }
    // Nobody can connect before listen(), so the mode is set before anyone could use the socket.
    if (!bound || ::chmod(path_.c_str(), 0660) != 0 || ::listen(fd, 16) != 0) {
        if (bound)
            ::unlink(path_.c_str());
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    listenWatch_ = loop_.AddWatch(fd, EventLoop::Readable, [this](unsigned) { Accept(); });
    return true;
}

void StateChannel::Close() {
    while (!subscribers_.empty())
        Drop(subscribers_.begin()->first);
    if (listenFd_ >= 0) {
        loop_.DeleteWatch(listenWatch_);
        ::close(listenFd_);
        ::unlink(path_.c_str());
        listenFd_ = -1;
    }
}

void StateChannel::Accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // EAGAIN, or a connection that went away before it was taken
        Subscriber& s = subscribers_[fd];
        s.Fd = fd;
        s.Pending = Snapshot();
        s.Watch = loop_.AddWatch(fd, EventLoop::Readable, [this, fd](unsigned ready) {
            if (ready & EventLoop::Readable)
                Readable(fd);
            if ((ready & EventLoop::Writable) && subscribers_.count(fd))
                Flush(fd);
        });
        Flush(fd);
    }
}

void StateChannel::Readable(int fd) {
    // Subscribers have nothing to say; what they send is read and dropped, and end of file or an
    // error ends the subscription.
    char buffer[512];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        Drop(fd);
        return;
    }
}

void StateChannel::Flush(int fd) {
    auto it = subscribers_.find(fd);
    if (it == subscribers_.end())
        return;
    Subscriber& s = it->second;
    while (!s.Pending.empty()) {
        ssize_t n = ::send(fd, s.Pending.data(), s.Pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s.Pending.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Drop(fd);
        return;
    }
    loop_.UpdateWatch(s.Watch, s.Pending.empty() ? EventLoop::Readable
                                                 : EventLoop::Readable | EventLoop::Writable);
}

void StateChannel::Drop(int fd) {
    auto it = subscribers_.find(fd);
    if (it == subscribers_.end())
        return;
    loop_.DeleteWatch(it->second.Watch);
    ::close(fd);
    subscribers_.erase(it);
}

void StateChannel::Publish(const std::string& line) {
    std::vector<int> behind, toFlush;
    for (auto& [fd, s] : subscribers_) {
        if (s.Pending.size() + line.size() > queueLimit_) {
            behind.push_back(fd);
            continue;
        }
        if (s.Pending.empty())
            toFlush.push_back(fd);  // otherwise the writable watch is already armed
        s.Pending += line;
    }
    for (int fd : behind) {
        ++dropped_;
        Drop(fd);
    }
    for (int fd : toFlush)
        Flush(fd);
}

std::string StateChannel::Snapshot() const {
    using state::MessageKind;
    json next = json::array();
    for (const Row& r : next_)
        next.push_back({{f::Day, r.Day},
                        {f::Time, r.Time},
                        {f::Title, r.Title},
                        {f::Number, r.Number},
                        {f::Weekday, r.Weekday}});
    json history = json::array();
    for (const Row& r : history_) {
        json j{{f::Day, r.Day}, {f::Time, r.Time}, {f::Title, r.Title}, {f::Color, r.Color}};
        if (r.HasOutcome) {
            j[f::Ran] = r.Ran;
            j[f::Reason] = r.Detail.empty() ? std::string(state::RefusalText(r.Reason)) : r.Detail;
            j[f::Refusal] = state::RefusalName(r.Reason);
            if (r.LatenessMs >= 0)
                j[f::LatenessMs] = r.LatenessMs;
            j[f::Number] = r.Number;
        }
        if (r.Confirmation.Has)
            AddRowConfirmation(j, r.Confirmation);
        history.push_back(std::move(j));
    }
    json j = Message(MessageKind::Snapshot);
    j[f::Caption] = caption_;
    j[f::Icon] = icon_;
    j[f::Link] = LinkJson(link_);
    j[f::Slave] = {
        {f::Enabled, slaveEnabled_}, {f::Server, slaveConnected_}, {f::Switcher, slaveSwitcher_}};
    j[f::Panels] = {panels_[0], panels_[1], panels_[2]};
    j[f::Next] = next;
    j[f::HistoryColor] = historyColor_;
    j[f::History] = history;
    json alarms = json::array();
    for (const auto& [id, stored] : activeAlarms_)
        alarms.push_back(json::parse(stored, nullptr, false));
    for (const std::string& stored : clearedAlarms_)
        alarms.push_back(json::parse(stored, nullptr, false));
    j[f::Alarms] = alarms;
    if (role_)
        j[f::Role] = RoleJson(*role_, claims_);
    if (!unfinished_.empty()) {
        json runs = json::array();
        for (const state::UnfinishedRun& u : unfinished_)
            runs.push_back(UnfinishedJson(u));
        j[f::Unfinished] = std::move(runs);
    }
    return Line(j);
}

void StateChannel::ShowRole(const state::RoleState& role) {
    inner_.ShowRole(role);
    role_ = role;
    if (!subscribers_.empty()) {
        json j = RoleJson(role, claims_);
        j[f::Type] = state::KindName(state::MessageKind::Role);
        Publish(Line(j));
    }
}

void StateChannel::ShowClaims(const state::ClaimCounts& claims) {
    inner_.ShowClaims(claims);
    claims_ = claims;
    if (role_ && !subscribers_.empty()) {
        json j = RoleJson(*role_, claims_);
        j[f::Type] = state::KindName(state::MessageKind::Role);
        Publish(Line(j));
    }
}

void StateChannel::ShowUnfinishedRun(const state::UnfinishedRun& run) {
    inner_.ShowUnfinishedRun(run);
    unfinished_.push_back(run);
    if (unfinished_.size() > limits::StateChannelClearedAlarms)
        unfinished_.pop_front();
    if (!subscribers_.empty()) {
        json j = UnfinishedJson(run);
        j[f::Type] = state::KindName(state::MessageKind::UnfinishedRun);
        Publish(Line(j));
    }
}

void StateChannel::ShowLinkState(state::LinkState link) {
    inner_.ShowLinkState(link);
    link_ = link;
}

void StateChannel::SetCaption(const std::string& caption) {
    inner_.SetCaption(caption);
    caption_ = Cp1252ToUtf8(caption);
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Caption);
        j[f::Caption] = caption_;
        j[f::Link] = LinkJson(link_);
        Publish(Line(j));
    }
}

void StateChannel::SetIcon(int image) {
    inner_.SetIcon(image);
    icon_ = image;
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Icon);
        j[f::Icon] = image;
        Publish(Line(j));
    }
}

void StateChannel::SetPanelText(int panel, const std::string& text) {
    inner_.SetPanelText(panel, text);
    if (panel >= 1 && panel <= 3) {
        std::string utf8 = Cp1252ToUtf8(text);
        if (panels_[panel - 1] != utf8) {
            panels_[panel - 1] = utf8;
            if (!subscribers_.empty()) {
                json j = Message(state::MessageKind::Panel);
                j[f::Panel] = panel;
                j[f::Text] = utf8;
                Publish(Line(j));
            }
        }
    }
    CheckSlaveLink();
}

void StateChannel::CheckSlaveLink() {
    if (vars_ == nullptr)
        return;
    if (vars_->SlaveEnabled == slaveEnabled_ && vars_->SlaveConnected == slaveConnected_ &&
        vars_->SlaveSwitcherConnected == slaveSwitcher_)
        return;
    slaveEnabled_ = vars_->SlaveEnabled;
    slaveConnected_ = vars_->SlaveConnected;
    slaveSwitcher_ = vars_->SlaveSwitcherConnected;
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Slave);
        j[f::Enabled] = slaveEnabled_;
        j[f::Server] = slaveConnected_;
        j[f::Switcher] = slaveSwitcher_;
        Publish(Line(j));
    }
}

void StateChannel::ClearNextList() {
    inner_.ClearNextList();
    next_.clear();
    if (!subscribers_.empty())
        Publish(Line(Message(state::MessageKind::NextCleared)));
}

void StateChannel::AddNext(Row r) {
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Next);
        j[f::Day] = r.Day;
        j[f::Time] = r.Time;
        j[f::Title] = r.Title;
        j[f::Number] = r.Number;
        j[f::Weekday] = r.Weekday;
        Publish(Line(j));
    }
    next_.push_back(std::move(r));
}

void StateChannel::AddNextRow(const std::string& day, const std::string& time,
                              const std::string& title) {
    inner_.AddNextRow(day, time, title);
    Row r;
    r.Day = Cp1252ToUtf8(day);
    r.Time = Cp1252ToUtf8(time);
    r.Title = Cp1252ToUtf8(title);
    AddNext(std::move(r));
}

void StateChannel::ShowNextEvent(const NextEventRow& row) {
    inner_.ShowNextEvent(row);
    Row r;
    r.Day = Cp1252ToUtf8(row.Day);
    r.Time = Cp1252ToUtf8(row.Time);
    r.Title = Cp1252ToUtf8(row.Title);
    r.Number = row.Number;
    r.Weekday = row.Weekday;
    AddNext(std::move(r));
}

void StateChannel::SetHistoryColor(int32_t color) {
    inner_.SetHistoryColor(color);
    historyColor_ = color;
}

void StateChannel::AddHistoryRow(const std::string& day, const std::string& time,
                                 const std::string& title) {
    inner_.AddHistoryRow(day, time, title);
    Row r;
    r.Day = Cp1252ToUtf8(day);
    r.Time = Cp1252ToUtf8(time);
    r.Title = Cp1252ToUtf8(title);
    r.Color = historyColor_;
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::History);
        j[f::Day] = r.Day;
        j[f::Time] = r.Time;
        j[f::Title] = r.Title;
        j[f::Color] = r.Color;
        Publish(Line(j));
    }
    history_.push_back(std::move(r));
    if (history_.size() > limits::HistoryKept)
        history_.pop_front();
}

void StateChannel::ClearHistory() {
    inner_.ClearHistory();
    history_.clear();
    if (!subscribers_.empty())
        Publish(Line(Message(state::MessageKind::HistoryCleared)));
}

void StateChannel::ShowEventOutcome(const EventOutcome& outcome) {
    inner_.ShowEventOutcome(outcome);
    if (!history_.empty()) {
        Row& r = history_.back();
        r.HasOutcome = true;
        r.Number = outcome.Number;
        r.Ran = outcome.Ran;
        r.Reason = outcome.Reason;
        r.LatenessMs = outcome.LatenessMs;
        r.Detail = Cp1252ToUtf8(outcome.Detail);
    }
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Outcome);
        j[f::Number] = outcome.Number;
        j[f::Day] = Cp1252ToUtf8(outcome.Day);
        j[f::Time] = Cp1252ToUtf8(outcome.Time);
        j[f::Title] = Cp1252ToUtf8(outcome.Title);
        j[f::Ran] = outcome.Ran;
        j[f::Reason] = outcome.Detail.empty() ? std::string(state::RefusalText(outcome.Reason))
                                              : Cp1252ToUtf8(outcome.Detail);
        j[f::Refusal] = state::RefusalName(outcome.Reason);
        if (outcome.LatenessMs >= 0)
            j[f::LatenessMs] = outcome.LatenessMs;
        Publish(Line(j));
    }
}

void StateChannel::ShowConfirmOutcome(const ConfirmOutcome& o) {
    inner_.ShowConfirmOutcome(o);
    const std::string day = Cp1252ToUtf8(o.Day), time = Cp1252ToUtf8(o.Time);
    for (auto r = history_.rbegin(); r != history_.rend(); ++r) {
        if (r->HasOutcome && r->Number == o.Number && r->Day == day && r->Time == time) {
            r->Confirmation = state::Combine(
                r->Confirmation, state::LinkConfirmation(o.Result, o.Ms, o.Reason, o.Link));
            break;
        }
    }
    if (subscribers_.empty())
        return;
    json j = Message(state::MessageKind::Confirmation);
    j[f::Number] = o.Number;
    j[f::Day] = day;
    j[f::Time] = time;
    j[f::Title] = Cp1252ToUtf8(o.Title);
    j[f::Link] = o.Link;
    j[f::Action] = state::ActionName(o.Action);
    j[f::Source] = o.Source;
    j[f::Destination] = o.Destination;
    j[f::Result] = state::ConfirmResultName(o.Result);
    j[f::Confirmed] = o.Confirmed();
    if (o.Ms >= 0)
        j[f::ConfirmMs] = o.Ms;
    if (!o.Confirmed())
        j[f::ConfirmReason] = o.Reason;
    if (o.Answered)
        j[f::Shows] = o.Shows;
    if (o.SupersededBy != 0)
        j[f::SupersededBy] = o.SupersededBy;
    Publish(Line(j));
}

void StateChannel::ShowAlarm(const AlarmNotice& alarm) {
    inner_.ShowAlarm(alarm);
    const json stored = json::parse(alarm.Stored, nullptr, false);
    if (!stored.is_object())
        return;
    std::erase_if(activeAlarms_, [&](const auto& a) { return a.first == alarm.Id; });
    if (alarm.Active) {
        activeAlarms_.emplace_back(alarm.Id, alarm.Stored);
    } else {
        clearedAlarms_.push_back(alarm.Stored);
        if (clearedAlarms_.size() > limits::StateChannelClearedAlarms)
            clearedAlarms_.pop_front();
    }
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::Alarm);
        j[f::Alarm] = stored;
        Publish(Line(j));
    }
}

MessageBoxAnswer StateChannel::ShowMessageBox(const std::string& text, const std::string& title,
                                              MessageBoxKind kind, MessageBoxButtons buttons) {
    // Told before the box is shown: a modal box may wait for its operator.
    if (!subscribers_.empty()) {
        json j = Message(state::MessageKind::MessageBox);
        j[f::Text] = Cp1252ToUtf8(text);
        j[f::Title] = Cp1252ToUtf8(title);
        Publish(Line(j));
    }
    return inner_.ShowMessageBox(text, title, kind, buttons);
}

}  // namespace qtx
