// Feeds arbitrary bytes through the received-message handling of both links: the first byte
// picks how the rest is cut into arrivals, each arrival is handled one message per call as the
// read event and the ticks would. Nothing may crash, read out of bounds or leave a map that
// the crosspoint conditions could not read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/PollEventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "switcher/TcpComm.h"
#include "ui/RecordingMainWindow.h"

namespace {

struct Rig {
    qtx::PollEventLoop loop;
    qtx::FakeClock clock;
    qtx::Variables vars;
    qtx::Logs logs{vars, clock};
    qtx::RecordingMainWindow view;
    qtx::TcpComm tcp{vars, logs, view, loop};
    Rig() {
        vars.AppDir = "/nonexistent-qtx-fuzz/";  // log writes fail quietly, nothing on disk
        tcp.LoadSlaveSocket();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* rig = new Rig();  // one rig for the whole run, like one engine
    if (size == 0)
        return 0;
    qtx::Variables& v = rig->vars;
    v.RecvBuffer = {"", ""};
    v.CrosspointMap.assign(1, {});
    v.SlaveCrosspointMap.assign(1, {});
    v.MapReceived = {false, false};
    const size_t piece = 1 + data[0] % 64;
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    for (size_t pos = 0; pos < input.size(); pos += piece) {
        const int16_t link = static_cast<int16_t>((pos / piece) % 2);
        v.RecvBuffer[link] += input.substr(pos, piece);
        rig->tcp.ProcessReceived(link);
    }
    for (int16_t link = 0; link < 2; ++link) {
        for (int i = 0; i < 4096 && !v.RecvBuffer[link].empty(); ++i)
            rig->tcp.ProcessReceived(link);
    }
    for (const auto* map : {&v.CrosspointMap, &v.SlaveCrosspointMap}) {
        if (map->empty())
            __builtin_trap();
        for (const auto& e : *map)
            if (e.SourceCount > e.Sources.size())
                __builtin_trap();
    }
    return 0;
}
