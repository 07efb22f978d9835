#pragma once
// An engine's switcher side (state, logs, recording view, TcpComm) on a real poll loop, with
// simulators on 127.0.0.1 as the server and the slave.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Format.h"
#include "common/PollEventLoop.h"
#include "common/Variables.h"
#include "fixtures/TempDir.h"
#include "logging/Logs.h"
#include "switcher/TcpComm.h"
#include "switcher/sim/SwitcherSim.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

class LinkHarness : public ::testing::Test {
  protected:
    explicit LinkHarness(sim::SimOptions serverOptions = {}, sim::SimOptions slaveOptions = {})
        : server_(loop_, serverOptions), slave_(loop_, slaveOptions) {
        vars_.AppDir = dir_.Path();
        vars_.ServerIPAddr = "127.0.0.1";
        vars_.ServerIPPort = server_.Listen();
        vars_.SlaveIPAddr = "0.0.0.0";
        vars_.SlaveIPPort = 1250;
        tcp_ = std::make_unique<TcpComm>(vars_, logs_, view_, loop_);
    }

    void EnableSlave() {
        vars_.SlaveIPAddr = "127.0.0.1";
        vars_.SlaveIPPort = slave_.Listen();
        vars_.SlaveEnabled = true;
    }

    bool Until(const std::function<bool()>& done, int ms = 3000) {
        return loop_.RunUntil(done, ms);
    }

    // Start-up, then waits until link 0 is up and (when the simulator announces itself) its
    // map has been applied.
    void StartAndWait(bool waitForMaps = true) {
        tcp_->StartLinks();
        ASSERT_TRUE(Until([&] {
            bool up = vars_.ServerConnected && (!vars_.SlaveEnabled || vars_.SlaveConnected);
            if (waitForMaps)
                up = up && vars_.MapReceived[0] && (!vars_.SlaveEnabled || vars_.MapReceived[1]);
            return up;
        }));
    }

    // The link work of one scheduler tick: reconnect, one message per link, every third tick
    // the polls.
    void Tick() {
        ++vars_.TickCounter;
        if (!vars_.ServerConnected)
            tcp_->ConnectServer();
        if (vars_.SlaveEnabled && !vars_.SlaveConnected)
            tcp_->ConnectSlave();
        if (!vars_.RecvBuffer[0].empty())
            tcp_->ProcessReceived(0);
        if (!vars_.RecvBuffer[1].empty())
            tcp_->ProcessReceived(1);
        tcp_->PollLinks();
        if (vars_.TickCounter > 2)
            vars_.TickCounter = 0;
    }

    // Texts of the activity lines, in order (time stamp cut off).
    std::vector<std::string> ActivityTexts() {
        std::vector<std::string> out;
        const std::string stamp = FormatLogStamp(clock_.Now());
        std::string text;
        try {
            text = ReadWholeFile(logs_.ActivityLogPath());
        } catch (...) {
            return out;
        }
        size_t pos = 0, end;
        while ((end = text.find("\r\n", pos)) != std::string::npos) {
            std::string line = text.substr(pos, end - pos);
            if (line.rfind(stamp, 0) == 0 && line.size() >= 35)
                out.push_back(line.substr(35));
            pos = end + 2;
        }
        return out;
    }

    std::string ErrorLog() {
        try {
            return ReadWholeFile(logs_.ErrorLogPath());
        } catch (...) {
            return "";
        }
    }

    // Puts one event at NextEventIndex.
    AutomationEvent& Event() {
        vars_.EventTable.assign(1, AutomationEvent{});
        vars_.EventCount = 1;
        vars_.NextEventIndex = 0;
        return vars_.EventTable[0];
    }

    TempDir dir_;
    PollEventLoop loop_;
    FakeClock clock_{LocalDateTime{2026, 12, 5, 14, 3, 9, 0}};
    Variables vars_;
    Logs logs_{vars_, clock_};
    RecordingMainWindow view_;
    sim::SwitcherSim server_;
    sim::SwitcherSim slave_;
    std::unique_ptr<TcpComm> tcp_;
};

}  // namespace qtx::test
