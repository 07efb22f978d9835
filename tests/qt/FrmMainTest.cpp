// The main window against an engine double: layout, texts and colour, the tray, help, and the
// exit paths the real engine cannot drive in a test (busy, log-out, Exit over open windows).
#include <QAction>
#include <QMenu>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

#include "FakeEngine.h"
#include "ModalDriver.h"
#include "common/Constants.h"
#include "qt/FrmAbout.h"
#include "qt/FrmMain.h"
#include "qt/HelpViewer.h"
#include "qt/Images.h"

using namespace qtx;
using namespace qtx::test;

namespace {

QImage Image(const QIcon& icon) {
    return icon.pixmap(16, 16).toImage();
}

}  // namespace

class FrmMainTest : public QObject {
    Q_OBJECT
  private slots:
    void textsCrossAsWindows1252AndColourCoversTheList();
    void minimiseGoesToTrayAndAnyClickRestores();
    void exitFromTrayClosesOtherWindowsBeforeAsking();
    void closeWhileBusyWaitsForTheExecution();
    void logoutAsksOrShutsDown();
    void helpOpensContentsInOwnedViewer();
    void confirmationsShowOnTheirRunsRow();
};

void FrmMainTest::textsCrossAsWindows1252AndColourCoversTheList() {
    FrmMain w;
    MainWindow& view = w;
    auto* hist = w.findChild<QTreeWidget*>("lvHistory");
    auto* next = w.findChild<QTreeWidget*>("lvNext");
    view.AddHistoryRow("Monday", "08:00:00", "Caf\xE9 \x80 feed");
    view.SetHistoryColor(constants::ColorRed);
    QCOMPARE(hist->topLevelItem(0)->text(2), QString::fromUtf8("Café € feed"));
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(255, 0, 0));
    view.SetHistoryColor(0x00FF8000);  // 0x00BBGGRR
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(0, 128, 255));
    view.SetCaption("QTX \xE9");
    QCOMPARE(w.windowTitle(), QString::fromUtf8("QTX é"));

    // The one row of the next-event list must be readable, wide Title column and all.
    view.AddNextRow("Tuesday", "10:00:00", "Promo");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect row = next->visualItemRect(next->topLevelItem(0));
    QVERIFY(next->viewport()->rect().contains(QPoint(row.left() + 2, row.center().y())));
    // Resizing the window moves nothing.
    const QRect placed = next->geometry();
    w.resize(900, 700);
    QCOMPARE(next->geometry(), placed);
}

// Each link's confirmation reaches the row of its run; the worse of the two is what it shows.
void FrmMainTest::confirmationsShowOnTheirRunsRow() {
    FrmMain w;
    MainWindow& view = w;
    auto* hist = w.findChild<QTreeWidget*>("lvHistory");
    for (int16_t number : {4, 5}) {
        view.AddHistoryRow("Monday", "06:00:00", "Feed");
        view.ShowEventOutcome({number, "Monday", "06:00:00", "Feed", true, {}, 1, {}});
    }
    ConfirmOutcome o;
    o.Number = 4;
    o.Day = "Monday";
    o.Time = "06:00:00";
    o.Result = state::ConfirmResult::Confirmed;
    o.Ms = 12;
    view.ShowConfirmOutcome(o);
    QCOMPARE(hist->topLevelItem(0)->toolTip(2), QStringLiteral("Confirmed in 12 ms"));
    o.Link = 1;
    o.Result = state::ConfirmResult::NotConfirmed;
    o.Reason = "no answer";
    view.ShowConfirmOutcome(o);
    QCOMPARE(hist->topLevelItem(0)->toolTip(0), QStringLiteral("Not confirmed: link 1: no answer"));
    QVERIFY(hist->topLevelItem(1)->toolTip(0).isEmpty());
}

void FrmMainTest::minimiseGoesToTrayAndAnyClickRestores() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.SetTrayAvailable([] { return true; });
    w.Start();
    MainWindow& view = w;
    w.showMinimized();
    QTRY_VERIFY(w.InTray());
    QVERIFY(!w.isVisible());
    QVERIFY(w.Tray()->isVisible());
    QVERIFY(view.IsMinimized());
    QCOMPARE(Image(w.Tray()->icon()), Image(WindowIcon(constants::IconNotConnected)));
    // The link comes up while in the tray: the tray icon follows.
    ShowCaptionAndIcon(view, "QTX Automation - Switcher Connected", constants::IconConnected);
    QCOMPARE(Image(w.Tray()->icon()), Image(WindowIcon(constants::IconConnected)));
    QVERIFY(Image(WindowIcon(1)) != Image(WindowIcon(2)));

    emit w.Tray()->activated(QSystemTrayIcon::MiddleClick);
    QVERIFY(w.InTray());
    // Most tray hosts send one trigger for a click, some a double-click: both restore.
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
        emit w.Tray()->activated(reason);
        QVERIFY(w.isVisible() && !w.isMinimized() && !w.InTray());
        QVERIFY(!w.Tray()->isVisible());
        QVERIFY(!engine.vars.RestoringWindow);
        w.showMinimized();
        QTRY_VERIFY(w.InTray());
    }
    w.SysTrayMenu()->findChild<QAction*>("mnuRestore")->trigger();
    QVERIFY(w.isVisible() && !w.Tray()->isVisible());

    // With no notification area hiding would make the window unreachable: it stays minimised
    // on the taskbar.
    w.SetTrayAvailable([] { return false; });
    w.showMinimized();
    QTest::qWait(30);
    QVERIFY(w.isMinimized() && w.isVisible() && !w.InTray() && !w.Tray()->isVisible());
}

void FrmMainTest::exitFromTrayClosesOtherWindowsBeforeAsking() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.InitHelp(QTX_SOURCE_DIR "/help/");
    w.Start();
    w.mnuContents_Click();
    // Exit chosen from the tray while About is open: About and help close first, then the main
    // window asks; Cancel keeps only the main window.
    WhenModal([&w](QWidget*) {
        AnswerNextBox(QMessageBox::Cancel);
        w.SysTrayMenu()->findChild<QAction*>("mnuExit")->trigger();
    });
    w.mnuAbout_Click();
    QCOMPARE(engine.questions, 1);
    QCOMPARE(engine.visibleAtQuestion, std::vector<std::string>({"frmMain"}));
    QVERIFY(!w.About()->isVisible() && !w.Help()->isVisible());
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), FrmMain::State::Running);
}

void FrmMainTest::closeWhileBusyWaitsForTheExecution() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    engine.busy = true;
    w.close();
    QTest::qWait(150);
    QCOMPARE(engine.questions, 0);
    AnswerNextBox(QMessageBox::Ok);
    engine.busy = false;
    QTRY_COMPARE(w.GetState(), FrmMain::State::Ended);
    QCOMPARE(engine.questions, 1);
}

void FrmMainTest::logoutAsksOrShutsDown() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    AnswerNextBox(QMessageBox::Cancel);
    QVERIFY(w.CommitSession(true));  // the log-out is refused
    QCOMPARE(w.GetState(), FrmMain::State::Running);
    QCOMPARE(engine.terminates, 0);

    FrmMain forced;
    FakeEngine other(forced);
    forced.Attach(other);
    forced.Start();
    // No interaction allowed: nobody to ask, a clean shutdown.
    QVERIFY(!forced.CommitSession(false));
    QCOMPARE(other.questions, 0);
    QCOMPARE(other.terminates, 1);
    QCOMPARE(forced.GetState(), FrmMain::State::Ended);
}

void FrmMainTest::helpOpensContentsInOwnedViewer() {
    FrmMain w;
    w.InitHelp("  /opt/qtx/  ");
    QCOMPARE(w.HelpFilePath(), std::string("/opt/qtx/Runvane.HLP"));
    // A missing file is reported in the viewer itself.
    w.mnuContents_Click();
    QVERIFY(w.Help()->Browser()->toPlainText().contains("could not be opened"));

    w.InitHelp(QTX_SOURCE_DIR "/help/");
    w.findChild<QAction*>("mnuContents")->trigger();
    QCOMPARE(w.Help()->CurrentTopic(), 10);
    QCOMPARE(w.Help()->parentWidget(), static_cast<QWidget*>(&w));
    QVERIFY(w.Help()->Browser()->toPlainText().startsWith("Contents"));
    w.QuitHelp();
    QVERIFY(!w.Help()->isVisible());
}

QTEST_MAIN(FrmMainTest)
#include "FrmMainTest.moc"
