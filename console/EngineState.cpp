#include "console/EngineState.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace qtx::console {

using nlohmann::json;

namespace {

constexpr size_t kHistoryKept = 500;

json EmptyState() {
    return json{{"caption", ""},
                {"icon", 0},
                {"link", {{"server", false}, {"switcher", false}}},
                {"slave", {{"enabled", false}, {"server", false}, {"switcher", false}}},
                {"panels", {"", "", ""}},
                {"next", json::array()},
                {"historyColor", 0},
                {"history", json::array()}};
}

}  // namespace

EngineState::EngineState(std::string folder)
    : path_(std::move(folder) + "qtx-automation.sock"), state_(EmptyState()) {}

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
        if (fd >= 0 && fits && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            Session(fd);
        if (fd >= 0)
            ::close(fd);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_.load(); });
    }
}

void EngineState::Session(int fd) {
    std::string buffer;
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
        buffer.append(chunk, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1)
            Apply(buffer.substr(start, nl - start));
        buffer.erase(0, start);
        Changed();
    }
    SetRunning(false);
    Changed();
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
        state_["link"] = {{"server", false}, {"switcher", false}};
        counts_.Server = counts_.Switcher = false;
        counts_.SlaveServer = counts_.SlaveSwitcher = false;
    }
    ++generation_;
    changed_.notify_all();
}

void EngineState::Apply(const std::string& line) {
    json m = json::parse(line, nullptr, false);
    if (!m.is_object() || !m.contains("type") || !m["type"].is_string())
        return;
    const std::string type = m["type"];
    std::lock_guard lock(mutex_);
    if (type == "snapshot") {
        m.erase("type");
        state_ = m;
        running_ = true;
        counts_.Running = true;
        ++generation_;
    } else {
        if (type == "caption") {
            state_["caption"] = m["caption"];
            state_["link"] = m["link"];
        } else if (type == "icon") {
            state_["icon"] = m["icon"];
        } else if (type == "panel" && m["panel"].is_number_integer()) {
            int p = m["panel"];
            if (p >= 1 && p <= 3)
                state_["panels"][p - 1] = m["text"];
        } else if (type == "nextCleared") {
            state_["next"] = json::array();
        } else if (type == "next") {
            state_["next"].push_back(
                {{"day", m["day"]}, {"time", m["time"]}, {"title", m["title"]}});
        } else if (type == "history") {
            json& h = state_["history"];
            h.push_back({{"day", m["day"]},
                         {"time", m["time"]},
                         {"title", m["title"]},
                         {"color", m["color"]}});
            if (h.size() > kHistoryKept)
                h.erase(h.begin());
            state_["historyColor"] = m["color"];
        } else if (type == "historyCleared") {
            state_["history"] = json::array();
        } else if (type == "outcome") {
            json& h = state_["history"];
            if (!h.empty()) {
                h.back()["ran"] = m["ran"];
                h.back()["reason"] = m["reason"];
                if (m.contains("latenessMs"))
                    h.back()["latenessMs"] = m["latenessMs"];
            }
            if (m["ran"] == true) {
                ++counts_.Ran;
                counts_.LastRun = std::chrono::system_clock::now();
            } else {
                ++counts_.Refused[m.value("reason", std::string("unknown"))];
            }
            counts_.LastLatenessMs = m.value("latenessMs", int64_t{-1});
        } else if (type == "slave") {
            state_["slave"] = {
                {"enabled", m["enabled"]}, {"server", m["server"]}, {"switcher", m["switcher"]}};
        } else if (type == "messageBox") {
            state_["messageBox"] = {{"text", m["text"]}, {"title", m["title"]}};
        }
        changes_.emplace_back(++seq_, line);
        if (changes_.size() > kChangesKept)
            changes_.pop_front();
    }
    const json& link = state_["link"];
    counts_.Server = link.value("server", false);
    counts_.Switcher = link.value("switcher", false);
    const json& slave = state_["slave"];
    counts_.SlaveEnabled = slave.value("enabled", false);
    counts_.SlaveServer = slave.value("server", false);
    counts_.SlaveSwitcher = slave.value("switcher", false);
    changed_.notify_all();
}

json EngineState::Status() const {
    std::lock_guard lock(mutex_);
    json s = state_;
    s["engine"] = {{"running", running_}};
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
        json s = state_;
        s["engine"] = {{"running", running_}};
        u.Status = s.dump(-1, ' ', false, json::error_handler_t::replace);
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
