#pragma once
// The message module in a temporary program folder, with real logs, a poll loop, the switcher
// links (not connected) and the clock double running in real time for real sockets.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/Clock.h"
#include "common/PollEventLoop.h"
#include "common/Variables.h"
#include "fixtures/TempDir.h"
#include "logging/Logs.h"
#include "messages/MessageEvents.h"
#include "switcher/TcpComm.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

class MessageFixture : public ::testing::Test {
  protected:
    MessageFixture() {
        vars.AppDir = dir.Path();
        clock.SetRealSleep(true);
    }

    // Makes the only event of the table the current one.
    AutomationEvent& CurrentEvent(const std::string& title) {
        vars.EventTable.assign(1, AutomationEvent{});
        vars.EventCount = 1;
        vars.NextEventIndex = 0;
        vars.EventTable[0].Title = title;
        return vars.EventTable[0];
    }

    // Activity-log messages after the header, without their time stamps.
    std::vector<std::string> Activity() const {
        std::vector<std::string> out;
        for (const std::string& line : Entries(dir.File("Tally.Dat")))
            out.push_back(line.size() > 35 ? line.substr(35) : "");
        return out;
    }
    // Error-log entries as (location, fault text).
    std::vector<std::pair<std::string, std::string>> Errors() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const std::string& line : Entries(dir.File("Errorlog.txt"))) {
            std::string location = line.substr(24, 36);
            while (!location.empty() && location.back() == ' ')
                location.pop_back();
            out.emplace_back(location, line.size() > 60 ? line.substr(60) : "");
        }
        return out;
    }

    TempDir dir;
    Variables vars;
    FakeClock clock{LocalDateTime{2026, 12, 7, 9, 0, 0}};
    PollEventLoop loop;
    Logs logs{vars, clock};
    RecordingMainWindow view;
    TcpComm tcp{vars, logs, view, loop};
    MessageEvents messages{vars, logs, clock, loop, tcp};

  private:
    static std::vector<std::string> Entries(const std::string& path) {
        const std::string text = ReadWholeFile(path);
        std::vector<std::string> lines;
        size_t pos = 0, end;
        while ((end = text.find("\r\n", pos)) != std::string::npos) {
            lines.push_back(text.substr(pos, end - pos));
            pos = end + 2;
        }
        const size_t header = 11;
        if (lines.size() >= header)
            lines.erase(lines.begin(), lines.begin() + header);
        return lines;
    }
};

}  // namespace qtx::test
