#include "console/EngineState.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "common/Limits.h"
#include "ui/StateMessages.h"
#include "ui/StateShape.h"

namespace qtx::console {

using nlohmann::json;
namespace f = state::field;

namespace {

json NoLink() {
    return json{{f::Server, false}, {f::Switcher, false}};
}

json EmptyState() {
    return json{{f::Caption, ""},
                {f::Icon, 0},
                {f::Link, NoLink()},
                {f::Slave, {{f::Enabled, false}, {f::Server, false}, {f::Switcher, false}}},
                {f::Panels, {"", "", ""}},
                {f::Next, json::array()},
                {f::HistoryColor, 0},
                {f::History, json::array()}};
}

// The refusal's words for the metrics: from its value; from the words an engine without values
// sends.
std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A history row's confirmation as its fields hold it (values set by ApplyConfirmation).
state::RowConfirmation RowConfirmationOf(const json& row) {
    state::RowConfirmation c;
    const auto r = row.find(f::Confirmation);
    if (r == row.end() || !r->is_string())
        return c;
    const auto result = state::ConfirmResultFromName(r->get<std::string>());
    if (!result)
        return c;
    c.Has = true;
    c.Result = *result;
    c.Ms = row.value(f::ConfirmMs, int64_t{-1});
    c.Reason = row.value(f::ConfirmReason, std::string());
    return c;
}

void SetRowConfirmation(json& row, const state::RowConfirmation& c) {
    row[f::Confirmation] = state::ConfirmResultName(c.Result);
    row[f::Confirmed] = c.Result == state::ConfirmResult::Confirmed;
    row.erase(f::ConfirmMs);
    row.erase(f::ConfirmReason);
    if (c.Result == state::ConfirmResult::Confirmed)
        row[f::ConfirmMs] = c.Ms;
    else
        row[f::ConfirmReason] = c.Reason;
}

std::string RefusalWords(const json& m) {
    if (m.contains(f::Refusal) && m[f::Refusal].is_string())
        if (const auto r = state::RefusalFromName(m[f::Refusal].get<std::string>()))
            return state::RefusalText(*r);
    return m.value(f::Reason, std::string("unknown"));
}

}  // namespace

EngineState::EngineState(std::string folder)
    : folder_(std::move(folder)), path_(folder_ + state::kSocketName), state_(EmptyState()) {}

EngineState::~EngineState() {
    Stop();
}

void EngineState::Start() {
    thread_ = std::thread([this] { Run(); });
}

void EngineState::Stop() {
    stop_ = true;
    changed_.notify_all();
    Changed();
    if (thread_.joinable())
        thread_.join();
}

void EngineState::Run() {
    while (!stop_) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        bool fits = path_.size() < sizeof addr.sun_path;
        if (fits)
            std::memcpy(addr.sun_path, path_.data(), path_.size());
        if (fd >= 0 && fits &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && Believed(fd))
            Session(fd);
        if (fd >= 0)
            ::close(fd);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_.load(); });
    }
}

// Whoever listens on the socket's name speaks for the engine, so only a process of this console's
// user or of the program folder's owner (the engine's account) is believed. Anyone else is
// counted, shown as such, and tried again later.
bool EngineState::Believed(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    bool believed = false;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
        struct stat folder {};
        believed = peer.uid == ::geteuid() ||
                   (::stat(folder_.c_str(), &folder) == 0 && folder.st_uid == peer.uid);
    }
    {
        std::lock_guard lock(mutex_);
        if (!believed)
            ++counts_.PeersRefused;
        if (counts_.PeerRefused != !believed) {
            counts_.PeerRefused = !believed;
            ++generation_;
            changed_.notify_all();
        }
    }
    if (!believed)
        Changed();
    return believed;
}

void EngineState::Session(int fd) {
    // One line is held at a time, never more than its bound; a longer one is dropped up to its
    // newline.
    std::string line;
    bool skipping = false;
    char chunk[65536];
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 250);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        const char* at = chunk;
        const char* end = chunk + n;
        while (at < end) {
            const char* nl = static_cast<const char*>(std::memchr(at, '\n', end - at));
            const char* stop = nl ? nl : end;
            if (!skipping) {
                const size_t piece = static_cast<size_t>(stop - at);
                if (line.size() + piece > limits::StateLineBytes) {
                    Dropped(state::LineProblemName(state::LineProblem::TooLong));
                    line.clear();
                    line.shrink_to_fit();
                    skipping = true;
                } else {
                    line.append(at, piece);
                }
            }
            if (!nl)
                break;
            if (!skipping) {
                try {
                    Apply(line);
                } catch (const std::exception&) {
                    // Shapes are checked before a line is applied; should one still not fit,
                    // it is dropped like any other bad line.
                    Dropped(state::LineProblemName(state::LineProblem::WrongType));
                }
            }
            line.clear();
            skipping = false;
            at = nl + 1;
        }
        Changed();
    }
    SetRunning(false);
    Changed();
}

void EngineState::Dropped(const char* problem) {
    std::lock_guard lock(mutex_);
    ++counts_.LinesDropped[problem];
}

void EngineState::Changed() {
    if (onChange_)
        onChange_();
}

void EngineState::SetRunning(bool running) {
    std::lock_guard lock(mutex_);
    if (running_ == running)
        return;
    running_ = running;
    counts_.Running = running;
    if (!running) {
        // What the engine showed is stale once it has gone; keep the history for the operator.
        state_[f::Link] = NoLink();
        state_.erase(f::Role);  // an engine that is gone holds no role in its group
        counts_.Group.reset();
        counts_.Server = counts_.Switcher = false;
        counts_.SlaveServer = counts_.SlaveSwitcher = false;
    }
    ++generation_;
    changed_.notify_all();
}

void EngineState::Apply(const std::string& line) {
    using state::MessageKind;
    json m = json::parse(line, nullptr, false);
    const state::CheckedLine checked = state::CheckLine(m);
    if (!checked.Kind) {
        Dropped(state::LineProblemName(checked.Problem));
        return;
    }
    const MessageKind kind = *checked.Kind;
    std::string stored;  // the line as streams get it, when it differs from the engine's
    if (kind == MessageKind::Snapshot && m.contains(f::Alarms)) {
        if (onAlarm_)
            for (const json& a : m[f::Alarms])
                onAlarm_(a, false);
        m.erase(f::Alarms);  // the console's alarm list keeps them
    } else if (kind == MessageKind::Alarm && onAlarm_) {
        onAlarm_(m[f::Alarm], true);
    }
    std::lock_guard lock(mutex_);
    if (kind == MessageKind::Snapshot) {
        m.erase(f::Type);
        state_ = m;
        running_ = true;
        counts_.Running = true;
        ++generation_;
    } else {
        switch (kind) {
            case MessageKind::Snapshot:  // above
                break;
            case MessageKind::Caption:
                state_[f::Caption] = m[f::Caption];
                state_[f::Link] = m[f::Link];
                break;
            case MessageKind::Icon:
                state_[f::Icon] = m[f::Icon];
                break;
            case MessageKind::Panel:
                if (m[f::Panel].is_number_integer()) {
                    const int p = m[f::Panel];
                    if (p >= 1 && p <= 3)
                        state_[f::Panels][p - 1] = m[f::Text];
                }
                break;
            case MessageKind::NextCleared:
                state_[f::Next] = json::array();
                break;
            case MessageKind::Next: {
                json row = m;
                row.erase(f::Type);
                state_[f::Next].push_back(std::move(row));
                break;
            }
            case MessageKind::History: {
                json& h = state_[f::History];
                h.push_back({{f::Day, m[f::Day]},
                             {f::Time, m[f::Time]},
                             {f::Title, m[f::Title]},
                             {f::Color, m[f::Color]}});
                if (h.size() > limits::HistoryKept)
                    h.erase(h.begin());
                state_[f::HistoryColor] = m[f::Color];
                break;
            }
            case MessageKind::HistoryCleared:
                state_[f::History] = json::array();
                break;
            case MessageKind::Outcome: {
                json& h = state_[f::History];
                if (!h.empty()) {
                    for (const char* key :
                         {f::Ran, f::Reason, f::Refusal, f::LatenessMs, f::Number})
                        if (m.contains(key))
                            h.back()[key] = m[key];
                }
                if (m[f::Ran] == true) {
                    ++counts_.Ran;
                    counts_.LastRun = std::chrono::system_clock::now();
                } else {
                    ++counts_.Refused[RefusalWords(m)];
                }
                counts_.LastLatenessMs = m.value(f::LatenessMs, int64_t{-1});
                break;
            }
            case MessageKind::Confirmation:
                ApplyConfirmation(m);
                stored = Dump(m);
                break;
            case MessageKind::Slave:
                state_[f::Slave] = {{f::Enabled, m[f::Enabled]},
                                    {f::Server, m[f::Server]},
                                    {f::Switcher, m[f::Switcher]}};
                break;
            case MessageKind::MessageBox:
                state_["messageBox"] = {{f::Text, m[f::Text]}, {f::Title, m[f::Title]}};
                break;
            case MessageKind::Alarm:  // the stream passes it on; the alarm list keeps it
                break;
            case MessageKind::Role: {
                json role = m;
                role.erase(f::Type);
                state_[f::Role] = std::move(role);
                break;
            }
            case MessageKind::UnfinishedRun: {
                json run = m;
                run.erase(f::Type);
                json& runs = state_[f::Unfinished];
                if (!runs.is_array())
                    runs = json::array();
                runs.push_back(std::move(run));
                if (runs.size() > limits::StateChannelClearedAlarms)
                    runs.erase(runs.begin());
                break;
            }
        }
        changes_.emplace_back(++seq_, stored.empty() ? line : stored);
        if (changes_.size() > limits::StatusChangesKept)
            changes_.pop_front();
    }
    const json& link = state_[f::Link];
    counts_.Server = link.value(f::Server, false);
    counts_.Switcher = link.value(f::Switcher, false);
    const json& slave = state_[f::Slave];
    counts_.SlaveEnabled = slave.value(f::Enabled, false);
    counts_.SlaveServer = slave.value(f::Server, false);
    counts_.SlaveSwitcher = slave.value(f::Switcher, false);
    counts_.Group.reset();
    if (const auto role = state_.find(f::Role); role != state_.end()) {
        // Shapes are checked: the role's name and counts are there.
        Counts::GroupCounts g;
        g.Role = *state::RoleFromName((*role)[f::Role].get<std::string>());
        g.LeaderChanges = (*role)[f::LeaderChanges].get<uint64_t>();
        const json& claims = (*role)[f::Claims];
        g.Claims = {claims[f::Claimed].get<uint64_t>(), claims[f::AlreadyClaimed].get<uint64_t>(),
                    claims[f::NotLeader].get<uint64_t>()};
        counts_.Group = g;
    }
    changed_.notify_all();
}

void EngineState::ApplyConfirmation(json& m) {
    const auto result = state::ConfirmResultFromName(m[f::Result].get<std::string>());
    const int link = m[f::Link].get<int>();
    const int64_t ms = m.value(f::ConfirmMs, int64_t{-1});
    json& h = state_[f::History];
    for (auto row = h.rbegin(); row != h.rend(); ++row) {
        if (row->value(f::Number, -1) == m[f::Number] && row->value(f::Day, "") == m[f::Day] &&
            row->value(f::Time, "") == m[f::Time]) {
            const state::RowConfirmation c =
                state::Combine(RowConfirmationOf(*row),
                               state::LinkConfirmation(
                                   *result, ms, m.value(f::ConfirmReason, std::string()), link));
            SetRowConfirmation(*row, c);
            json fields = json::object();
            SetRowConfirmation(fields, c);
            m["row"] = std::move(fields);
            break;
        }
    }
    if (*result == state::ConfirmResult::Confirmed ||
        *result == state::ConfirmResult::NotConfirmed) {
        const bool confirmed = *result == state::ConfirmResult::Confirmed;
        ++counts_.Takes[{link, confirmed}];
        if (confirmed && ms >= 0) {
            size_t b = 0;
            while (b < kConfirmBucketsMs.size() && ms > kConfirmBucketsMs[b])
                ++b;
            ++counts_.ConfirmBuckets[b];
            ++counts_.ConfirmCount;
            counts_.ConfirmSumMs += ms;
        }
    }
}

json EngineState::Status() const {
    std::lock_guard lock(mutex_);
    return StatusLocked();
}

json EngineState::StatusLocked() const {
    json s = state_;
    s["engine"] = {{"running", running_}, {"untrustedPeer", counts_.PeerRefused}};
    return s;
}

EngineState::Counts EngineState::GetCounts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::optional<EngineState::Update> EngineState::WaitAfter(uint64_t seq, uint64_t gen,
                                                          std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stop_ || generation_ != gen || seq_ != seq; });
    if (stop_)
        return std::nullopt;
    Update u;
    u.Seq = seq_;
    u.Generation = generation_;
    bool fellBehind = !changes_.empty() && changes_.front().first > seq + 1;
    if (generation_ != gen || fellBehind || seq > seq_) {
        u.Full = true;
        u.Status = StatusLocked().dump(-1, ' ', false, json::error_handler_t::replace);
        return u;
    }
    if (seq_ == seq)
        return std::nullopt;
    for (const auto& [n, line] : changes_)
        if (n > seq)
            u.Changes.push_back(line);
    return u;
}

}  // namespace qtx::console
