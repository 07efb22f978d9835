// The desktop window driving the real engine: start-up, executions in the history, the exit
// question, About's values and Setup's store and reload, on a real database file.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "ModalDriver.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/EventDb.h"
#include "qt/EngineBinding.h"
#include "qt/FrmAbout.h"
#include "qt/FrmMain.h"
#include "qt/Lamp.h"

using namespace qtx;
using namespace qtx::test;

namespace {

// Monday 5 January 2026.
constexpr LocalDateTime MondayAt(int h, int m, int s) {
    return LocalDateTime{2026, 1, 5, h, m, s, 5};
}

QStringList Row(FrmMain& w, const char* list, int i) {
    QTreeWidgetItem* it = w.findChild<QTreeWidget*>(list)->topLevelItem(i);
    return it ? QStringList{it->text(0), it->text(1), it->text(2)} : QStringList{};
}

QString Panel(FrmMain& w, int n) {
    return w.findChild<QLabel*>(QStringLiteral("Panel%1").arg(n))->text();
}

// The window and the engine together, on the harness's folder, clock and loop, started.
struct Desktop {
    explicit Desktop(EngineHarness& h)
        : engine(h.clock, h.loop, window, h.dir.Path()), binding(engine) {
        window.Attach(binding);
        window.SetTrayAvailable([] { return true; });
        window.Start();
    }
    FrmMain window;
    Engine engine;
    EngineBinding binding;
};

}  // namespace

class EngineWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void startUpShowsCaptionPanelsAndNextEvent();
    void executionsAppendColouredRowsAndClearEmpties();
    void exitQuestionBothWays();
    void aboutShowsLoadedSettingsAndLamps();
    void setupStoresReloadsOnNewFolderAndReportsAMissingFile();
    void startMinimisedSettingStartsInTheTray();
};

void EngineWindowTest::startUpShowsCaptionPanelsAndNextEvent() {
    EngineHarness h(MondayAt(14, 3, 9));
    h.WriteDatabase({Event(1, 0, "10:00:00", "Morning"), Event(2, 0, "15:00:00", "Afternoon"),
                     Event(3, 2, "09:00:00", "Wednesday news")});
    Desktop d(h);
    QVERIFY(d.window.isVisible());
    QCOMPARE(d.window.windowTitle(), QString("QTX Automation - Server Not Connected"));
    QCOMPARE(d.window.CurrentIcon(), 2);
    QCOMPARE(Panel(d.window, 1), QString("3 Total Events"));
    QCOMPARE(Panel(d.window, 2), QString("Monday, Jan 5 2026 "));
    QCOMPARE(Panel(d.window, 3), QString("02:03:09 PM"));
    // 10:00 has passed: the next event is the afternoon one.
    QCOMPARE(Row(d.window, "lvNext", 0), QStringList({"Monday", "15:00:00", "Afternoon"}));
    QCOMPARE(d.window.HelpFilePath(), h.dir.Path() + "Runvane.HLP");

    h.clock.Set(MondayAt(14, 3, 10));
    d.engine.tmrTimer_Timer();
    QCOMPARE(Panel(d.window, 3), QString("14:03:10"));
}

void EngineWindowTest::executionsAppendColouredRowsAndClearEmpties() {
    EngineHarness h(MondayAt(9, 59, 59));
    auto inactive = Event(2, 0, "10:00:05", "Inactive one");
    inactive["Active"] = 0;
    h.WriteDatabase(
        {Event(1, 0, "10:00:00", "Top of hour"), inactive, Event(3, 0, "10:00:10", "Third")});
    Desktop d(h);
    auto* hist = d.window.findChild<QTreeWidget*>("lvHistory");

    h.clock.Set(MondayAt(10, 0, 0));
    d.engine.tmrTimer_Timer();
    QCOMPARE(hist->topLevelItemCount(), 1);
    QCOMPARE(Row(d.window, "lvHistory", 0),
             QStringList({"Monday", "10:00:00", "Top of hour - Not Executed"}));
    // Refused for want of a server: red.
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(255, 0, 0));
    QCOMPARE(Row(d.window, "lvNext", 0), QStringList({"Monday", "10:00:05", "Inactive one"}));

    h.clock.Set(MondayAt(10, 0, 5));
    d.engine.tmrTimer_Timer();
    QCOMPARE(Row(d.window, "lvHistory", 1),
             QStringList({"Monday", "10:00:05", "Inactive one - Inactive"}));
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(0, 0, 0));

    QTest::mouseClick(d.window.findChild<QPushButton*>("cmdClearList"), Qt::LeftButton);
    QCOMPARE(hist->topLevelItemCount(), 0);
    h.clock.Set(MondayAt(10, 0, 10));
    d.engine.tmrTimer_Timer();
    QCOMPARE(Row(d.window, "lvHistory", 0),
             QStringList({"Monday", "10:00:10", "Third - Not Executed"}));
}

void EngineWindowTest::exitQuestionBothWays() {
    EngineHarness h(MondayAt(9, 0, 0));
    h.WriteDatabase({Event(1, 0, "10:00:00", "A")});
    Desktop d(h);
    QSignalSpy ended(&d.window, &FrmMain::Ended);

    SeenBox seen;
    AnswerNextBox(QMessageBox::Cancel, &seen);
    d.window.close();
    QVERIFY(seen.Seen);
    QCOMPARE(seen.Text, QString("Do You Wish To Exit?\nScheduled Events Will Not Run!"));
    QCOMPARE(seen.Title, QString(" Confirm Exit"));
    QCOMPARE(seen.Icon, QMessageBox::Information);
    QCOMPARE(seen.Buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(seen.Parent, static_cast<QWidget*>(&d.window));
    QVERIFY(d.window.isVisible());
    QCOMPARE(ended.count(), 0);

    // Exit from the tray while minimised; OK ends the engine and removes the tray icon.
    d.window.showMinimized();
    QTRY_VERIFY(d.window.InTray());
    AnswerNextBox(QMessageBox::Ok, &seen);
    d.window.SysTrayMenu()->findChild<QAction*>("mnuExit")->trigger();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(d.window.GetState(), FrmMain::State::Ended);
    QVERIFY(!d.window.Tray()->isVisible());
    QVERIFY(!d.window.isVisible());
}

void EngineWindowTest::aboutShowsLoadedSettingsAndLamps() {
    EngineHarness h(MondayAt(9, 0, 0));
    h.WriteDatabase({Event(1, 0, "10:00:00", "A")}, "127.0.0.1", 1250, "0.0.0.0");
    Desktop d(h);
    auto label = [&](const char* n) { return d.window.About()->findChild<QLabel*>(n)->text(); };
    auto lamp = [&](const char* n) { return d.window.About()->findChild<Lamp*>(n)->Color(); };
    Variables& v = d.engine.Vars();
    WhenModal([&](QWidget* m) {
        QCOMPARE(label("lblIPAddr"), QString("127.0.0.1"));
        QCOMPARE(label("lblTcpPort"), QString("Port 1250"));
        QCOMPARE(label("lblSlaveIPAddr"), QString("0.0.0.0"));
        QCOMPARE(label("lblVersionInfo"),
                 QString("QTX Automation Engine\nVersion 1.09 - 10/18/2002"));
        QCOMPARE(lamp("shSwitcherStatus"), QColor(224, 224, 224));
        // The switcher comes online while the window is open: the lamps keep their snapshot.
        v.ServerConnected = v.SwitcherConnected = true;
        QTest::qWait(20);
        QCOMPARE(lamp("shSwitcherStatus"), QColor(224, 224, 224));
        m->findChild<QPushButton*>("cmdAboutquit")->click();
    });
    d.window.mnuAbout_Click();
    QVERIFY(!d.window.About()->isVisible());
    // Ok only hid it; the next opening is the same window, refilled.
    FrmAbout* first = d.window.About();
    WhenModal([](QWidget* m) { m->findChild<QPushButton*>("cmdAboutquit")->click(); });
    d.window.mnuAbout_Click();
    QCOMPARE(d.window.About(), first);
    QCOMPARE(lamp("shSwitcherStatus"), QColor(0, 255, 0));
    QCOMPARE(lamp("shSlaveStatus"), QColor(224, 224, 224));
}

void EngineWindowTest::setupStoresReloadsOnNewFolderAndReportsAMissingFile() {
    EngineHarness h(MondayAt(10, 30, 0));
    h.WriteDatabase({Event(1, 0, "10:00:00", "Earlier")});
    Desktop d(h);
    const std::string db = h.dir.File("QTXAutomation.mdb");
    std::filesystem::create_directory(h.dir.File("view"));
    const std::string viewDir = h.dir.File("view");
    QWidget* owner = nullptr;
    QString prompt;
    d.window.SetFolderChooser([&](QWidget* o, const QString& p) {
        owner = o;
        prompt = p;
        return std::optional<QString>(QString::fromStdString(viewDir));
    });

    // An outside edit the engine has not seen yet: a reload would count two events.
    h.Sql(
        "INSERT INTO Automation (Number, Day, Time, Title, Active) VALUES "
        "(2, 0, '11:00:00', 'B', 1)");

    // Only the check box: StartMin stored as -1, no reload.
    WhenModal([](QWidget* m) {
        m->findChild<QCheckBox*>("chkMinimize")->setChecked(true);
        m->findChild<QPushButton*>("cmdOk")->click();
    });
    d.window.mnuSetup_Click();
    QCOMPARE(d.window.Setup(), nullptr);
    QCOMPARE(QueryOne(db, "SELECT StartMin FROM Info"), std::string("-1"));
    QCOMPARE(QueryOne(db, "SELECT COALESCE(TaskViewDB, '') FROM Server"), std::string(""));
    QVERIFY(d.engine.Vars().StartMinimized);
    QCOMPARE(Panel(d.window, 1), QString("1 Total Events"));

    // A new folder: stored, and the events are reloaded.
    WhenModal([](QWidget* m) {
        QVERIFY(m->findChild<QCheckBox*>("chkMinimize")->isChecked());
        m->findChild<QPushButton*>("cmdBrowse")->click();
        m->findChild<QCheckBox*>("chkMinimize")->setChecked(false);
        m->findChild<QPushButton*>("cmdOk")->click();
    });
    d.window.mnuSetup_Click();
    QCOMPARE(QueryOne(db, "SELECT StartMin FROM Info"), std::string("0"));
    QCOMPARE(QueryOne(db, "SELECT TaskViewDB FROM Server"), viewDir);
    QCOMPARE(owner, static_cast<QWidget*>(&d.window));  // the main window owns the chooser
    QCOMPARE(prompt, QString("Select the location to save Copy of Automation Database.  "
                             "Automation Task View will use this File."));
    QCOMPARE(d.engine.Vars().TaskViewDir, viewDir);
    QCOMPARE(Panel(d.window, 1), QString("2 Total Events"));
    // The reload chose the next event afresh instead of waiting at the first record (10:00,
    // already past), and that event still runs.
    QCOMPARE(Row(d.window, "lvNext", 0), QStringList({"Monday", "11:00:00", "B"}));
    h.clock.Set(MondayAt(11, 0, 0));
    d.engine.tmrTimer_Timer();
    QCOMPARE(Row(d.window, "lvHistory", 0),
             QStringList({"Monday", "11:00:00", "B - Not Executed"}));

    // Cancelling the chooser empties the path; OK stores the empty folder and reloads.
    d.window.SetFolderChooser([](QWidget*, const QString&) { return std::optional<QString>(); });
    WhenModal([](QWidget* m) {
        m->findChild<QPushButton*>("cmdBrowse")->click();
        QCOMPARE(m->findChild<QLineEdit*>("txtTaskView")->text(), QString());
        m->findChild<QPushButton*>("cmdOk")->click();
    });
    d.window.mnuSetup_Click();
    QCOMPARE(QueryOne(db, "SELECT COALESCE(TaskViewDB, '') FROM Server"), std::string(""));
    QCOMPARE(d.engine.Vars().TaskViewDir, std::string());

    // With the file gone, OK reports the failure and the window stays open; the global keeps
    // the new value although the file could not take it.
    std::filesystem::remove(db);
    bool stayedOpen = false;
    WhenModal([&](QWidget* m) {
        m->findChild<QCheckBox*>("chkMinimize")->setChecked(true);
        m->findChild<QPushButton*>("cmdOk")->click();
        stayedOpen = m->isVisible();
        m->findChild<QPushButton*>("cmdCancel")->click();
    });
    d.window.mnuSetup_Click();
    QVERIFY(stayedOpen);
    const auto errors = h.ErrorLocations();
    QVERIFY(std::find(errors.begin(), errors.end(), "Error Updating DB Info") != errors.end());
    QVERIFY(d.engine.Vars().StartMinimized);
}

void EngineWindowTest::startMinimisedSettingStartsInTheTray() {
    EngineHarness h(MondayAt(9, 0, 0));
    h.WriteDatabase({Event(1, 0, "10:00:00", "A")});
    h.Sql("UPDATE Info SET StartMin = -1");
    Desktop d(h);
    QVERIFY(!d.window.isVisible());
    QVERIFY(d.window.InTray());
    QVERIFY(d.window.Tray()->isVisible());
    QCOMPARE(d.window.Tray()->toolTip(), QString("QTX Automation Module"));
    emit d.window.Tray()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(d.window.isVisible());
    QVERIFY(!d.window.Tray()->isVisible());
}

QTEST_MAIN(EngineWindowTest)
#include "EngineWindowTest.moc"
