#pragma once
// An engine's switcher side (state, logs, recording view, TcpComm) on a real poll loop, with
// simulators on 127.0.0.1 as the server and the slave.
#include <gtest/gtest.h>

#include "common/Clock.h"
#include "common/Format.h"
#include "common/PollEventLoop.h"
#include "common/Variables.h"
#include "fixtures/TempDir.h"
#include "logging/Logs.h"
#include "switcher/Frames.h"
#include "switcher/TcpComm.h"
#include "switcher/sim/SwitcherSim.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

using sim::FromHex;
using sim::ToHex;

class LinkHarness : public ::testing::Test {
  protected:
    // Simulator options with one setting changed.
    template <typename T>
    static sim::SimOptions With(T sim::SimOptions::*setting, T value) {
        sim::SimOptions o;
        o.*setting = value;
        return o;
    }

    explicit LinkHarness(sim::SimOptions serverOptions = {}, sim::SimOptions slaveOptions = {})
        : server_(loop_, serverOptions), slave_(loop_, slaveOptions) {
        vars_.AppDir = dir_.Path();
        vars_.ServerIPAddr = "127.0.0.1";
        vars_.ServerIPPort = server_.Listen();
        vars_.SlaveIPAddr = "0.0.0.0";
        vars_.SlaveIPPort = 1250;
    }

    void EnableSlave() {
        vars_.SlaveIPAddr = "127.0.0.1";
        vars_.SlaveIPPort = slave_.Listen();
        vars_.SlaveEnabled = true;
    }

    bool Until(const std::function<bool()>& done, int ms = 3000) {
        return loop_.RunUntil(done, ms);
    }

    // Start-up, then waits until the links are up and their maps applied.
    void StartAndWait() {
        tcp_.StartLinks();
        ASSERT_TRUE(Until(
            [&] { return vars_.MapReceived[0] && (!vars_.SlaveEnabled || vars_.MapReceived[1]); }));
    }

    // The link work of one scheduler tick: reconnect, one message per link, every third tick
    // the polls.
    void Tick() {
        ++vars_.TickCounter;
        if (!vars_.ServerConnected)
            tcp_.ConnectServer();
        if (vars_.SlaveEnabled && !vars_.SlaveConnected)
            tcp_.ConnectSlave();
        for (int16_t link : {0, 1})
            if (!vars_.RecvBuffer[link].empty())
                tcp_.ProcessReceived(link);
        tcp_.PollLinks();
        if (vars_.TickCounter > 2)
            vars_.TickCounter = 0;
    }

    // Hex of the frames a simulator received.
    static std::vector<std::string> Wire(const sim::SwitcherSim& s) {
        std::vector<std::string> out;
        for (const auto& f : s.Frames())
            out.push_back(ToHex(f.Bytes));
        return out;
    }

    // Both links at a glance, e.g. "up online mapped/4 | down/1": TCP link, switcher online,
    // map received, entries in the map.
    std::string LinkState() const {
        auto one = [](bool tcp, bool online, bool mapped, size_t size) {
            return std::string(tcp ? "up" : "down") + (online ? " online" : "") +
                   (mapped ? " mapped" : "") + "/" + std::to_string(size);
        };
        return one(vars_.ServerConnected, vars_.SwitcherConnected, vars_.MapReceived[0],
                   vars_.CrosspointMap.size()) +
               " | " +
               one(vars_.SlaveConnected, vars_.SlaveSwitcherConnected, vars_.MapReceived[1],
                   vars_.SlaveCrosspointMap.size());
    }

    // A map as "count:sources/attributes" per entry, e.g. "0:/ 2:2,3/11,12 0:-1/0".
    static std::string MapText(const std::vector<CrosspointEntry>& map) {
        auto join = [](const std::vector<int16_t>& v) {
            std::string s;
            for (int16_t x : v)
                s += (s.empty() ? "" : ",") + std::to_string(x);
            return s;
        };
        std::string out;
        for (const CrosspointEntry& e : map)
            out += (out.empty() ? "" : " ") + std::to_string(e.SourceCount) + ":" +
                   join(e.Sources) + "/" + join(e.SourceAttr);
        return out;
    }

    // Texts of the activity lines, in order (time stamp cut off).
    std::vector<std::string> ActivityTexts() {
        std::vector<std::string> out;
        const std::string text = ReadWholeFile(logs_.ActivityLogPath());
        const std::string stamp = FormatLogStamp(clock_.Now());
        for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos;
             pos = end + 2)
            if (text.compare(pos, stamp.size(), stamp) == 0 && end - pos >= 35)
                out.push_back(text.substr(pos + 35, end - pos - 35));
        return out;
    }

    std::string ErrorLog() { return ReadWholeFile(logs_.ErrorLogPath()); }  // "" when none

    TempDir dir_;
    PollEventLoop loop_;
    FakeClock clock_{LocalDateTime{2026, 12, 5, 14, 3, 9, 0}};
    Variables vars_;
    Logs logs_{vars_, clock_};
    RecordingMainWindow view_;
    sim::SwitcherSim server_;
    sim::SwitcherSim slave_;
    TcpComm tcp_{vars_, logs_, view_, loop_};
};

}  // namespace qtx::test
