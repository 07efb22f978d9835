// Writes the documentation's screenshots of the desktop window and About, in a light and a dark
// theme, from offscreen renderings of the real windows: qtx_screenshots OUTPUT_FOLDER.
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <cstdio>

#include "FakeEngine.h"
#include "ModalDriver.h"
#include "common/Constants.h"
#include "qt/FrmAbout.h"
#include "qt/FrmMain.h"

using namespace qtx;
using namespace qtx::test;

namespace {

QPalette Dark() {
    QPalette p;
    const QColor window(53, 53, 53), base(42, 42, 42), text(230, 230, 230);
    for (auto [role, colour] : {std::pair{QPalette::Window, window},
                                {QPalette::WindowText, text},
                                {QPalette::Base, base},
                                {QPalette::AlternateBase, window},
                                {QPalette::Text, text},
                                {QPalette::Button, window},
                                {QPalette::ButtonText, text},
                                {QPalette::ToolTipBase, base},
                                {QPalette::ToolTipText, text},
                                {QPalette::Highlight, QColor(42, 130, 218)},
                                {QPalette::HighlightedText, QColor(0, 0, 0)}})
        p.setColor(role, colour);
    return p;
}

bool Shoot(const QString& folder, const QString& suffix) {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    engine.vars.ServerIPAddr = "127.0.0.1";
    engine.vars.ServerIPPort = 1250;
    engine.vars.SlaveIPAddr = "0.0.0.0";
    engine.vars.SwitcherConnected = true;
    MainWindow& view = w;
    view.SetCaption("QTX Automation - Switcher Connected");
    view.SetIcon(constants::IconConnected);
    view.SetPanelText(1, "6 Total Events");
    view.SetPanelText(2, "Monday, Dec 7 2026 ");
    view.SetPanelText(3, "06:00:41");
    view.SetHistoryColor(constants::ColorBlack);
    view.AddHistoryRow("Monday", "06:00:15", "Demo take 1 to 2");
    view.AddHistoryRow("Monday", "06:00:20", "Demo salvo 3");
    view.AddHistoryRow("Monday", "06:00:25", "Demo relay 4 latch");
    view.AddHistoryRow("Monday", "06:00:30", "Demo gain source 5");
    view.AddHistoryRow("Monday", "06:00:35", "Demo IP message");
    view.AddNextRow("Monday", "06:00:40", "Demo conditional salvo 7");
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return false;
    QTest::qWait(50);
    bool ok = w.grab().save(folder + "/main-window" + suffix + ".png");
    WhenModal([&](QWidget* about) {
        ok = about->grab().save(folder + "/about" + suffix + ".png") && ok;
        qobject_cast<QDialog*>(about)->accept();
    });
    w.mnuAbout_Click();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: qtx_screenshots OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    QApplication::setFont(font);
    QApplication::setPalette(QApplication::style()->standardPalette());
    bool ok = Shoot(folder, QString());
    QApplication::setPalette(Dark());
    ok = Shoot(folder, QStringLiteral("-dark")) && ok;
    std::printf("%s\n", ok ? "screenshots written" : "a screenshot failed");
    return ok ? 0 : 1;
}
