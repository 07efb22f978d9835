// The desktop engine: one window, the engine on its thread, the help file beside the program.
#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <cstdlib>
#include <iostream>

#include "apps/shared/StandardOptions.h"

#include "common/Clock.h"
#include "common/FileSystem.h"
#include "common/ProgramFolderLock.h"
#include "engine/Engine.h"
#include "ui/StateChannel.h"
#include "qt/EngineBinding.h"
#include "qt/FrmMain.h"
#include "qt/QtEventLoop.h"

int main(int argc, char** argv) {
    static const char* const usage =
        "usage: qtx-automation [--help | --version]\n"
        "The QTX Automation Engine with its desktop window and tray icon. It takes no other\n"
        "options: its settings and events live in QTXAutomation.mdb beside the program\n"
        "(prepare it with qtx-eventdb). Qt's own options (-platform, -display) are accepted.\n";
    if (const auto answered =
            qtx::AnswerStandardOption(argc, argv, "qtx-automation", usage, std::cout))
        return *answered;
    // Minimising into the tray needs the minimise notification, which Wayland does not give:
    // run on X (XWayland) when both are there and nothing else was asked for.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("WAYLAND_DISPLAY") != nullptr &&
        std::getenv("DISPLAY") != nullptr)
        qputenv("QT_QPA_PLATFORM", "xcb");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QTX Automation"));
    // The window hides into the tray; only the exit path ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second engine on the same folder would run every event twice: say so and do not start.
    const qtx::ProgramFolderLock folderLock(qtx::ProgramDirectory());
    if (!folderLock.Held()) {
        QMessageBox::critical(nullptr, QStringLiteral("QTX Automation"),
                              QString::fromStdString(folderLock.Problem()));
        return 1;
    }

    qtx::QtEventLoop loop;
    qtx::SystemClock clock;
    qtx::FrmMain window;
    // What the engine shows also goes to the state channel's subscribers (the console).
    qtx::StateChannel view(window, loop, qtx::ProgramDirectory());
    qtx::Engine engine(clock, loop, view, qtx::ProgramDirectory());
    view.FollowSlaveLink(engine.Vars());
    view.Open();
    qtx::EngineBinding binding(engine);
    window.Attach(binding);

    QObject::connect(&window, &qtx::FrmMain::Ended, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    // Log-out asks the exit question too; a Cancel refuses the log-out.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager& manager) {
                         if (window.CommitSession(manager.allowsInteraction()))
                             manager.cancel();
                         manager.release();
                     });
    // Nothing is saved for the next session: the engine starts from its database.
    QObject::connect(
        &app, &QGuiApplication::saveStateRequest, &window,
        [](QSessionManager& manager) { manager.setRestartHint(QSessionManager::RestartNever); });

    window.Start();
    return app.exec();
}
