#include "alarms/AlarmStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qtx::alarms {

using nlohmann::json;

json StoredAlarm(const Alarm& a) {
    json j = json::parse(AlarmJson(a));
    j["about"] = a.About;
    j["atMs"] = a.AtMs;
    j["offsetMin"] = a.UtcOffsetMinutes;
    if (!a.AckedBy.empty())
        j["ackedAtMs"] = a.AckedAtMs;
    return j;
}

std::optional<Alarm> ParseStoredAlarm(const json& j) {
    try {
        if (!j.is_object())
            return std::nullopt;
        Alarm a;
        a.Id = j.at("id").get<std::string>();
        const auto kind = ParseKind(j.at("kind").get<std::string>());
        if (!kind || a.Id.empty())
            return std::nullopt;
        a.Kind = *kind;
        const std::string state = j.at("state").get<std::string>();
        if (state != "raised" && state != "cleared")
            return std::nullopt;
        a.State = state == "raised" ? AlarmState::Raised : AlarmState::Cleared;
        a.Text = j.value("text", "");
        if (j.contains("event") && j["event"].is_object())
            a.Event = AlarmEvent{j["event"].value("number", 0), j["event"].value("title", "")};
        if (j.contains("link") && j["link"].is_number_integer())
            a.Link = j["link"].get<int>();
        a.AtMs = j.at("atMs").get<int64_t>();
        a.UtcOffsetMinutes = j.value("offsetMin", 0);
        a.Engine = j.value("engine", "");
        if (j.contains("lasted_s") && j["lasted_s"].is_number())
            a.LastedS = j["lasted_s"].get<double>();
        a.About = j.value("about", "");
        a.AckedBy = j.value("acked_by", "");
        a.AckedAtMs = j.value("ackedAtMs", int64_t{0});
        return a;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

AlarmList LoadAlarmFile(const std::string& path) {
    AlarmList out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return out;
        throw std::runtime_error(path + ": cannot be read");
    }
    std::stringstream text;
    text << in.rdbuf();
    json j;
    try {
        j = json::parse(text.str());
    } catch (const json::exception& e) {
        throw std::runtime_error(path + ": not an alarm list (" + e.what() + ")");
    }
    auto take = [&](const char* name, std::vector<Alarm>& into) {
        if (!j.is_object() || !j.contains(name) || !j[name].is_array())
            return;
        for (const json& a : j[name])
            if (auto alarm = ParseStoredAlarm(a))
                into.push_back(std::move(*alarm));
    };
    take("active", out.Active);
    take("recent", out.Recent);
    return out;
}

void SaveAlarmFile(const std::string& path, const AlarmList& list) {
    json j = {{"version", 1}, {"active", json::array()}, {"recent", json::array()}};
    for (const Alarm& a : list.Active)
        j["active"].push_back(StoredAlarm(a));
    for (const Alarm& a : list.Recent)
        j["recent"].push_back(StoredAlarm(a));
    const std::string text = j.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
    const std::string temp = path + ".new";
    // Never waits on what stands in the file's place (a FIFO without a reader would block the
    // open for ever) and never writes through a link.
    const int fd = ::open(temp.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0640);
    if (fd < 0)
        throw std::runtime_error(path + ": cannot be written");
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error(path + ": cannot be written (not a regular file)");
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw std::runtime_error(path + ": cannot be written");
    }
}

}  // namespace qtx::alarms
