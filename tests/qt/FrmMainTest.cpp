// The main window against an engine double: layout, lists, tray, help and the exit path.
#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

#include "FakeEngine.h"
#include "ModalDriver.h"
#include "common/Constants.h"
#include "ui/qt/FrmAbout.h"
#include "ui/qt/FrmMain.h"
#include "ui/qt/HelpViewer.h"
#include "ui/qt/Images.h"

using namespace qtx;
using namespace qtx::test;

namespace {

QStringList Row(QTreeWidget* lv, int i) {
    QTreeWidgetItem* it = lv->topLevelItem(i);
    return it ? QStringList{it->text(0), it->text(1), it->text(2)} : QStringList{};
}

QStringList ActionTexts(QMenu* m) {
    QStringList out;
    for (QAction* a : m->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

QImage IconImage(const QIcon& icon) {
    return icon.pixmap(16, 16).toImage();
}

}  // namespace

class FrmMainTest : public QObject {
    Q_OBJECT
  private slots:
    void layoutMatchesTheDesign();
    void listsShowEngineTextsAndHistoryColour();
    void clearEmptiesOnlyTheHistory();
    void messageBoxesAreOwnedAndAnswered();
    void exitQuestionCancelKeepsRunning();
    void exitFromTrayClosesOtherWindowsBeforeAsking();
    void okEndsTheEngineOnce();
    void closeWhileBusyWaitsForTheExecution();
    void sessionLogoutAsksOrShutsDown();
    void minimiseGoesToTrayAndBack();
    void withoutTrayMinimiseStaysReachable();
    void startMinimisedNeverShowsTheWindow();
    void helpOpensContentsInOwnedViewer();
};

void FrmMainTest::layoutMatchesTheDesign() {
    FrmMain w;
    auto* client = w.centralWidget();
    QCOMPARE(client->minimumSize(), QSize(443, 234));
    QCOMPARE(w.findChild<QLabel*>("lblHistory")->geometry(), QRect(8, 16, 425, 17));
    QCOMPARE(w.findChild<QLabel*>("lblHistory")->text(), QString("Event History"));
    auto* clear = w.findChild<QPushButton*>("cmdClearList");
    QCOMPARE(clear->geometry(), QRect(397, 18, 34, 13));
    QCOMPARE(clear->text(), QString("&Clear"));
    QCOMPARE(clear->toolTip(), QString("Clear Command History"));
    QCOMPARE(w.findChild<QLabel*>("lblNext")->text(), QString("Next Event to Run"));
    QCOMPARE(w.findChild<QStatusBar*>("StatusBar1")->geometry(), QRect(0, 209, 443, 25));
    for (const char* name : {"lvHistory", "lvNext"}) {
        auto* lv = w.findChild<QTreeWidget*>(name);
        QVERIFY(lv);
        QCOMPARE(lv->headerItem()->text(0), QString("Day"));
        QCOMPARE(lv->headerItem()->text(1), QString("Time of Day"));
        QCOMPARE(lv->headerItem()->text(2), QString("Title"));
        QCOMPARE(lv->columnWidth(0), 94);
        QCOMPARE(lv->columnWidth(1), 118);
        QCOMPARE(lv->columnWidth(2), 417);
    }
    QCOMPARE(w.findChild<QTreeWidget*>("lvHistory")->geometry(), QRect(8, 32, 425, 121));
    QCOMPARE(w.findChild<QTreeWidget*>("lvNext")->geometry(), QRect(8, 176, 425, 33));
    QCOMPARE(w.findChild<QLabel*>("Panel1")->toolTip(),
             QString("Number of Automation Events.  Includes each day a single event is active"));
    QCOMPARE(w.findChild<QLabel*>("Panel2")->toolTip(), QString("Current Date"));
    QCOMPARE(w.findChild<QLabel*>("Panel3")->toolTip(), QString("Current Time"));

    // Menus: File and Help in the bar, the tray menu only on the tray icon.
    QStringList bar;
    for (QAction* a : w.menuBar()->actions())
        bar << a->text();
    QCOMPARE(bar, QStringList({"&File", "&Help"}));
    QCOMPARE(ActionTexts(w.findChild<QMenu*>("mnuFIle")), QStringList({"&Setup"}));
    QCOMPARE(ActionTexts(w.findChild<QMenu*>("mnuHelp")),
             QStringList({"&Contents", "-", "&About"}));
    QCOMPARE(ActionTexts(w.SysTrayMenu()), QStringList({"&Restore", "-", "E&xit"}));
    QCOMPARE(w.Tray()->contextMenu(), w.SysTrayMenu());
    QCOMPARE(w.Tray()->toolTip(), QString("QTX Automation Module"));

    // Resizing moves nothing.
    w.show();
    w.resize(900, 700);
    QCOMPARE(w.findChild<QTreeWidget*>("lvNext")->geometry(), QRect(8, 176, 425, 33));
    QCOMPARE(w.findChild<QStatusBar*>("StatusBar1")->geometry(), QRect(0, 209, 443, 25));
}

void FrmMainTest::listsShowEngineTextsAndHistoryColour() {
    FrmMain w;
    MainWindow& view = w;
    auto* hist = w.findChild<QTreeWidget*>("lvHistory");
    auto* next = w.findChild<QTreeWidget*>("lvNext");

    ShowCaptionAndIcon(view, "QTX Automation - Server Not Connected", constants::IconNotConnected);
    QCOMPARE(w.windowTitle(), QString("QTX Automation - Server Not Connected"));
    view.SetPanelText(1, "12 Total Events");
    view.SetPanelText(2, "Saturday, Dec 5 2026 ");
    view.SetPanelText(3, "14:03:09");
    view.SetPanelText(4, "ignored");
    QCOMPARE(w.findChild<QLabel*>("Panel1")->text(), QString("12 Total Events"));
    QCOMPARE(w.findChild<QLabel*>("Panel2")->text(), QString("Saturday, Dec 5 2026 "));
    QCOMPARE(w.findChild<QLabel*>("Panel3")->text(), QString("14:03:09"));

    // Texts arrive as Windows-1252 bytes.
    view.AddHistoryRow("Monday", "08:00:00", "Caf\xE9 \x80 feed");
    view.SetHistoryColor(constants::ColorRed);
    view.AddHistoryRow("Wedensday", "09:30:00", "News");
    QCOMPARE(hist->topLevelItemCount(), 2);
    QCOMPARE(Row(hist, 0), QStringList({"Monday", "08:00:00", QString::fromUtf8("Café € feed")}));
    QCOMPARE(Row(hist, 1), QStringList({"Wedensday", "09:30:00", "News"}));
    // One colour for the whole list, the rows already there included.
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(255, 0, 0));
    view.SetHistoryColor(0x00FF8000);  // 0x00BBGGRR: blue 255, green 128, red 0
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(0, 128, 255));
    view.SetHistoryColor(constants::ColorBlack);
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(0, 0, 0));

    view.ClearNextList();
    view.AddNextRow(" ", " ", "No Events");
    view.ClearNextList();
    view.AddNextRow("Tuesday", "10:00:00", "Promo");
    QCOMPARE(next->topLevelItemCount(), 1);
    QCOMPARE(Row(next, 0), QStringList({"Tuesday", "10:00:00", "Promo"}));
    // The one row must be readable inside the one-row list, wide columns and all.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect row = next->visualItemRect(next->topLevelItem(0));
    QVERIFY2(next->viewport()->rect().contains(QPoint(row.left() + 2, row.center().y())),
             qPrintable(QStringLiteral("row at %1, viewport height %2")
                            .arg(row.top())
                            .arg(next->viewport()->height())));
    QVERIFY(row.bottom() <= next->viewport()->rect().bottom() + 1);
}

void FrmMainTest::clearEmptiesOnlyTheHistory() {
    FrmMain w;
    MainWindow& view = w;
    auto* hist = w.findChild<QTreeWidget*>("lvHistory");
    auto* next = w.findChild<QTreeWidget*>("lvNext");
    w.show();
    QTest::mouseClick(w.findChild<QPushButton*>("cmdClearList"), Qt::LeftButton);
    QCOMPARE(hist->topLevelItemCount(), 0);
    view.AddHistoryRow("Monday", "08:00:00", "A");
    view.AddHistoryRow("Monday", "08:00:01", "B");
    view.AddNextRow("Monday", "09:00:00", "C");
    QTest::mouseClick(w.findChild<QPushButton*>("cmdClearList"), Qt::LeftButton);
    QCOMPARE(hist->topLevelItemCount(), 0);
    QCOMPARE(next->topLevelItemCount(), 1);
    view.AddHistoryRow("Monday", "09:00:00", "C");
    QCOMPARE(Row(hist, 0), QStringList({"Monday", "09:00:00", "C"}));
}

void FrmMainTest::messageBoxesAreOwnedAndAnswered() {
    FrmMain w;
    w.show();
    MainWindow& view = w;
    SeenBox seen;
    AnswerNextBox(QMessageBox::Cancel, &seen);
    QCOMPARE(
        view.ShowMessageBox("Do You Wish To Exit?\rScheduled Events Will Not Run!", " Confirm Exit",
                            MessageBoxKind::Information, MessageBoxButtons::OkCancel),
        MessageBoxAnswer::Cancel);
    QVERIFY(seen.Seen);
    QCOMPARE(seen.Text, QString("Do You Wish To Exit?\nScheduled Events Will Not Run!"));
    QCOMPARE(seen.Title, QString(" Confirm Exit"));
    QCOMPARE(seen.Icon, QMessageBox::Information);
    QCOMPARE(seen.Parent, static_cast<QWidget*>(&w));
    QCOMPARE(seen.Buttons, QMessageBox::Ok | QMessageBox::Cancel);

    SeenBox critical;
    AnswerNextBox(QMessageBox::Ok, &critical);
    QCOMPARE(view.ShowMessageBox("Invalid Database File", "File Error", MessageBoxKind::Critical,
                                 MessageBoxButtons::Ok),
             MessageBoxAnswer::Ok);
    QCOMPARE(critical.Icon, QMessageBox::Critical);
    QCOMPARE(critical.Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    // Escape on the question is a Cancel.
    WhenModal([](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
    QCOMPARE(
        view.ShowMessageBox("q", "t", MessageBoxKind::Information, MessageBoxButtons::OkCancel),
        MessageBoxAnswer::Cancel);
}

void FrmMainTest::exitQuestionCancelKeepsRunning() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    QSignalSpy ended(&w, &FrmMain::Ended);
    AnswerNextBox(QMessageBox::Cancel);
    w.close();
    QCOMPARE(engine.questions, 1);
    QCOMPARE(engine.unloads, 0);
    QCOMPARE(engine.terminates, 0);
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), FrmMain::State::Running);
    QCOMPARE(ended.count(), 0);
    // Asked again the next time.
    AnswerNextBox(QMessageBox::Cancel);
    w.close();
    QCOMPARE(engine.questions, 2);
}

void FrmMainTest::exitFromTrayClosesOtherWindowsBeforeAsking() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.InitHelp(QTX_SOURCE_DIR "/help/");
    w.Start();
    w.mnuContents_Click();
    QVERIFY(w.Help()->isVisible());
    // Exit chosen from the tray while the About window is open: About and help go first, the
    // main window asks, Cancel keeps only the main window.
    WhenModal([&w](QWidget*) {
        AnswerNextBox(QMessageBox::Cancel);
        w.SysTrayMenu()->findChild<QAction*>("mnuExit")->trigger();
    });
    w.mnuAbout_Click();
    QCOMPARE(engine.questions, 1);
    QCOMPARE(engine.visibleWindowsAtQuestion, std::vector<std::string>({"frmMain"}));
    QVERIFY(!w.About()->isVisible());
    QVERIFY(!w.Help()->isVisible());
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), FrmMain::State::Running);
}

void FrmMainTest::okEndsTheEngineOnce() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    QSignalSpy ended(&w, &FrmMain::Ended);
    AnswerNextBox(QMessageBox::Ok);
    w.SysTrayMenu()->findChild<QAction*>("mnuExit")->trigger();
    QCOMPARE(engine.questions, 1);
    QVERIFY(engine.unloads >= 1);
    QCOMPARE(engine.terminates, 1);
    QCOMPARE(ended.count(), 1);
    QVERIFY(!w.isVisible());
    QVERIFY(!w.Tray()->isVisible());
    QCOMPARE(w.GetState(), FrmMain::State::Ended);
    // After the end nothing asks again.
    w.close();
    w.mnuExit_Click();
    QCOMPARE(engine.questions, 1);
    QCOMPARE(engine.terminates, 1);
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
    QTRY_COMPARE(engine.questions, 1);
    QTRY_COMPARE(w.GetState(), FrmMain::State::Ended);
}

void FrmMainTest::sessionLogoutAsksOrShutsDown() {
    {
        FrmMain w;
        FakeEngine engine(w);
        w.Attach(engine);
        w.Start();
        AnswerNextBox(QMessageBox::Cancel);
        QVERIFY(w.CommitSession(true));  // refused
        QCOMPARE(w.GetState(), FrmMain::State::Running);
        AnswerNextBox(QMessageBox::Ok);
        QVERIFY(!w.CommitSession(true));
        QCOMPARE(w.GetState(), FrmMain::State::Ended);
        QCOMPARE(engine.terminates, 1);
    }
    {
        FrmMain w;
        FakeEngine engine(w);
        w.Attach(engine);
        w.Start();
        // No interaction allowed: no question, a clean shutdown.
        QVERIFY(!w.CommitSession(false));
        QCOMPARE(engine.questions, 0);
        QCOMPARE(engine.terminates, 1);
        QCOMPARE(w.GetState(), FrmMain::State::Ended);
    }
}

void FrmMainTest::minimiseGoesToTrayAndBack() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.SetTrayAvailable([] { return true; });
    w.Start();
    MainWindow& view = w;
    QVERIFY(!view.IsMinimized());
    w.showMinimized();
    QTRY_VERIFY(w.InTray());
    QVERIFY(!w.isVisible());
    QVERIFY(w.Tray()->isVisible());
    QCOMPARE(w.Tray()->toolTip(), QString("QTX Automation Module"));
    QVERIFY(view.IsMinimized());
    QCOMPARE(IconImage(w.Tray()->icon()), IconImage(WindowIcon(constants::IconNotConnected)));

    // The link comes up while in the tray: the tray icon follows.
    ShowCaptionAndIcon(view, "QTX Automation - Switcher Connected", constants::IconConnected);
    QCOMPARE(IconImage(w.Tray()->icon()), IconImage(WindowIcon(constants::IconConnected)));
    QVERIFY(IconImage(WindowIcon(constants::IconConnected)) !=
            IconImage(WindowIcon(constants::IconNotConnected)));

    // A single trigger (what most tray hosts send) restores, as a double-click does.
    emit w.Tray()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible());
    QVERIFY(!w.isMinimized());
    QVERIFY(!w.InTray());
    QVERIFY(!w.Tray()->isVisible());
    QVERIFY(!engine.vars.RestoringWindow);

    w.showMinimized();
    QTRY_VERIFY(w.InTray());
    emit w.Tray()->activated(QSystemTrayIcon::MiddleClick);
    QVERIFY(w.InTray());
    emit w.Tray()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(w.isVisible());
    w.showMinimized();
    QTRY_VERIFY(w.InTray());
    w.SysTrayMenu()->findChild<QAction*>("mnuRestore")->trigger();
    QVERIFY(w.isVisible());
    QVERIFY(!w.Tray()->isVisible());
}

void FrmMainTest::withoutTrayMinimiseStaysReachable() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.SetTrayAvailable([] { return false; });
    w.Start();
    w.showMinimized();
    QTest::qWait(30);
    QVERIFY(w.isMinimized());
    QVERIFY(w.isVisible());  // still on the taskbar
    QVERIFY(!w.InTray());
    QVERIFY(!w.Tray()->isVisible());
}

void FrmMainTest::startMinimisedNeverShowsTheWindow() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.SetTrayAvailable([] { return true; });
    bool shownDuringLoad = true;
    engine.onLoad = [&] {
        static_cast<MainWindow&>(w).Minimize();
        shownDuringLoad = w.isVisible();
    };
    int shows = 0;
    struct ShowCounter : QObject {
        int* n;
        explicit ShowCounter(int* c) : n(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Show)
                ++*n;
            return false;
        }
    } counter(&shows);
    w.installEventFilter(&counter);
    w.Start();
    QVERIFY(!shownDuringLoad);
    QCOMPARE(shows, 0);
    QVERIFY(w.InTray());
    QVERIFY(w.Tray()->isVisible());
    QTest::qWait(30);
    QCOMPARE(shows, 0);
    emit w.Tray()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(shows > 0);
    QVERIFY(w.isVisible());
    QVERIFY(!w.isMinimized());
}

void FrmMainTest::helpOpensContentsInOwnedViewer() {
    FrmMain w;
    // A folder with or without the separator gives one file name.
    w.InitHelp("/opt/qtx/");
    QCOMPARE(w.HelpFilePath(), std::string("/opt/qtx/Runvane.HLP"));
    w.InitHelp("  /opt/qtx/  ");
    QCOMPARE(w.HelpFilePath(), std::string("/opt/qtx/Runvane.HLP"));
    w.InitHelp("/opt/qtx/Runvane.HLP");
    QCOMPARE(w.HelpFilePath(), std::string("/opt/qtx/Runvane.HLP"));

    // A missing file is reported in the viewer itself.
    w.mnuContents_Click();
    QVERIFY(w.Help()->isVisible());
    QVERIFY(w.Help()->Browser()->toPlainText().contains("could not be opened"));

    w.InitHelp(QTX_SOURCE_DIR "/help/");
    w.findChild<QAction*>("mnuContents")->trigger();
    QCOMPARE(w.Help()->CurrentTopic(), 10);
    QCOMPARE(w.Help()->parentWidget(), static_cast<QWidget*>(&w));
    QVERIFY(w.Help()->isWindow());
    QVERIFY(w.Help()->Browser()->toPlainText().startsWith("Contents"));
    w.QuitHelp();
    QVERIFY(!w.Help()->isVisible());
}

QTEST_MAIN(FrmMainTest)
#include "FrmMainTest.moc"
