#pragma once
// One engine's worth of database state for loader tests: a temporary program folder, the state,
// real logs, a recording view and the loader.
#include <filesystem>
#include <string>

#include "common/Clock.h"
#include "common/Variables.h"
#include "database/DBEngine.h"
#include "database/DiskWork.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "logging/Logs.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

struct DiskWorkEnv {
    TempDir dir;
    Variables vars;
    FakeClock clock;
    Logs logs{vars, clock};
    RecordingMainWindow view;
    DBEngine engine;
    DiskWork disk{vars, logs, view, engine};
    int disconnects = 0;

    DiskWorkEnv() {
        vars.AppDir = dir.Path();
        vars.DBPath = dir.File("QTXAutomation.mdb");
        disk.ServerDisconnected = [this] { ++disconnects; };
    }
    const std::string& Db() const { return vars.DBPath; }
    std::string ErrorLog() const {
        return std::filesystem::exists(dir.File("Errorlog.txt"))
                   ? ReadWholeFile(dir.File("Errorlog.txt"))
                   : "";
    }
    bool Logged(const std::string& location) const {
        return ErrorLog().find(location) != std::string::npos;
    }
};

}  // namespace qtx::test
