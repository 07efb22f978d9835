// qtx-automation-headless: the engine without a window, for a server or a systemd unit.
// No options: configuration lives in the database beside the program. SIGTERM and SIGINT are
// the service's way to stop: they run the shutdown steps (no exit question: nobody is there to
// answer it) once the execution in progress, if any, has ended.
#include <csignal>
#include <cstdio>
#include <iostream>

#include "apps/shared/StandardOptions.h"
#include "common/Clock.h"
#include "common/FileSystem.h"
#include "common/PollEventLoop.h"
#include "common/ProgramFolderLock.h"
#include "engine/Engine.h"
#include "service/ServiceLink.h"
#include "ui/HeadlessMainWindow.h"
#include "ui/StateChannel.h"

namespace {

qtx::PollEventLoop* g_loop = nullptr;  // for the signal handler only

extern "C" void OnStopSignal(int) {
    if (g_loop != nullptr)
        g_loop->Stop();
}

constexpr const char* kUsage =
    "usage: qtx-automation-headless [--help | --version]\n"
    "The QTX Automation Engine without a window, for a server or a systemd unit. It takes no\n"
    "other options: its settings and events live in QTXAutomation.mdb beside the program\n"
    "(prepare it with qtx-eventdb). SIGTERM or SIGINT stops it.\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto answered =
            qtx::AnswerStandardOption(argc, argv, "qtx-automation-headless", kUsage, std::cout))
        return *answered;
    if (argc > 1) {
        std::fprintf(stderr,
                     "qtx-automation-headless takes no options; its settings live in "
                     "QTXAutomation.mdb beside the program (prepare it with qtx-eventdb).\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    const qtx::ProgramFolderLock folderLock(qtx::ProgramDirectory());
    if (!folderLock.Held()) {
        std::fprintf(stderr, "qtx-automation-headless: %s\n", folderLock.Problem().c_str());
        return 1;
    }

    qtx::SystemClock clock;
    qtx::PollEventLoop loop;
    qtx::HeadlessMainWindow printer(std::cout);
    // What the engine shows also goes to the state channel's subscribers (the console).
    qtx::StateChannel view(printer, loop, qtx::ProgramDirectory());
    qtx::ServiceLink service;  // does nothing outside a systemd unit; outlives the engine
    qtx::Engine engine(clock, loop, view, qtx::ProgramDirectory());
    service.Attach(engine);
    view.FollowSlaveLink(engine.Vars());
    if (!view.Open())
        std::cout << "State channel " << view.SocketPath()
                  << " not offered (its name is a directory, or the folder is not writable)"
                  << std::endl;

    g_loop = &loop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::cout << "QTX Automation Engine (headless) in " << qtx::ProgramDirectory() << std::endl;
    engine.Form_Load();
    service.Ready();
    loop.Run();
    service.Stopping();

    std::cout << "Stopping: scheduled events will not run." << '\n';
    engine.Form_Unload();
    engine.Form_Terminate();
    g_loop = nullptr;
    return 0;
}
