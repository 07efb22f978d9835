// The About and Setup windows against an engine double.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "FakeEngine.h"
#include "ModalDriver.h"
#include "ui/qt/FrmAbout.h"
#include "ui/qt/FrmMain.h"
#include "ui/qt/FrmSetup.h"
#include "ui/qt/Lamp.h"

using namespace qtx;
using namespace qtx::test;

namespace {

const QColor Green(0, 255, 0);
const QColor Grey(224, 224, 224);

QString LabelText(QWidget* w, const char* name) {
    auto* l = w->findChild<QLabel*>(name);
    return l ? l->text() : QStringLiteral("<missing %1>").arg(name);
}

QColor LampColor(QWidget* w, const char* name) {
    auto* l = w->findChild<Lamp*>(name);
    return l ? l->Color() : QColor();
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
  private slots:
    void aboutShowsASnapshotOfTheSettings();
    void aboutOkHidesAndTheNextOpeningRefills();
    void setupLoadsTheCurrentValues();
    void browseUsesTheMainWindowAndCancelEmpties();
    void okStoresAndClosesOrStaysOpenOnFailure();
    void cancelStoresNothing();
    void okWhileBusyWaitsForTheExecution();
};

void DialogsTest::aboutShowsASnapshotOfTheSettings() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    engine.vars.ServerIPAddr = "192.0.2.10";
    engine.vars.ServerIPPort = 1250;
    engine.vars.SlaveIPAddr = "0.0.0.0";
    engine.vars.SlaveIPPort = -1;
    engine.vars.SwitcherConnected = true;
    engine.vars.SlaveSwitcherConnected = false;

    FrmAbout about(&w, engine);
    QCOMPARE(about.windowTitle(), QString("QTX Automation Engine Information"));
    QCOMPARE(about.size(), QSize(497, 223));
    QCOMPARE(LabelText(&about, "lblIPAddr"), QString("Not Specified"));
    about.show();
    QCOMPARE(LabelText(&about, "lblIPAddr"), QString("192.0.2.10"));
    QCOMPARE(LabelText(&about, "lblTcpPort"), QString("Port 1250"));
    QCOMPARE(LabelText(&about, "lblSlaveIPAddr"), QString("0.0.0.0"));
    QCOMPARE(LabelText(&about, "lblSlaveIPPort"), QString("Port -1"));
    QCOMPARE(LabelText(&about, "lblLogFile"), QString("Tally.dat"));
    QCOMPARE(LabelText(&about, "lblVersionInfo"),
             QString("QTX Automation Engine\nVersion 1.09 - 10/18/2002"));
    QCOMPARE(LampColor(&about, "shSwitcherStatus"), Green);
    QCOMPARE(LampColor(&about, "shSlaveStatus"), Grey);
    QCOMPARE(about.findChild<Lamp*>("shSlaveStatus")->toolTip(), QString("Address Status"));
    QCOMPARE(about.findChild<Lamp*>("shSwitcherStatus")->geometry(), QRect(232, 59, 13, 9));
    QCOMPARE(about.findChild<QGroupBox*>("frmSetupInfo")->title(), QString("Setup Information"));
    QCOMPARE(about.findChild<QGroupBox*>("frmVersionInfo")->title(),
             QString("Version Information"));
    QCOMPARE(LabelText(&about, "lblIPaddr1"), QString("Server IP Address"));
    QCOMPARE(LabelText(&about, "lblQTXtitle"), QString("VORLANDT"));

    // The link changes while the window stays open: the lamps keep the snapshot.
    engine.vars.SwitcherConnected = false;
    engine.vars.SlaveSwitcherConnected = true;
    QTest::qWait(20);
    QCOMPARE(LampColor(&about, "shSwitcherStatus"), Green);
    // An empty address is shown as empty, never as the design text.
    engine.vars.ServerIPAddr.clear();
    about.Form_Activate();
    QCOMPARE(LabelText(&about, "lblIPAddr"), QString());
    QCOMPARE(LampColor(&about, "shSwitcherStatus"), Grey);
    QCOMPARE(LampColor(&about, "shSlaveStatus"), Green);
}

void DialogsTest::aboutOkHidesAndTheNextOpeningRefills() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    engine.vars.ServerIPPort = 1250;
    WhenModal([](QWidget* m) {
        QCOMPARE(m->objectName(), QString("frmAbout"));
        QCOMPARE(m->parentWidget()->objectName(), QString("frmMain"));
        m->findChild<QPushButton*>("cmdAboutquit")->click();
    });
    w.findChild<QAction*>("mnuAbout")->trigger();
    FrmAbout* first = w.About();
    QVERIFY(first);
    QVERIFY(!first->isVisible());
    QCOMPARE(LabelText(first, "lblTcpPort"), QString("Port 1250"));

    engine.vars.ServerIPPort = 2001;
    engine.vars.SwitcherConnected = true;
    WhenModal([](QWidget* m) { m->findChild<QPushButton*>("cmdAboutquit")->click(); });
    w.mnuAbout_Click();
    QCOMPARE(w.About(), first);  // the same window again
    QCOMPARE(LabelText(first, "lblTcpPort"), QString("Port 2001"));
    QCOMPARE(LampColor(first, "shSwitcherStatus"), Green);
}

void DialogsTest::setupLoadsTheCurrentValues() {
    FrmMain w;
    FakeEngine engine(w);
    engine.vars.StartMinimized = true;
    engine.vars.TaskViewDir = "/srv/task\xE9view";
    FrmSetup setup(&w, engine, nullptr);
    QCOMPARE(setup.windowTitle(), QString("Setup"));
    QCOMPARE(setup.size(), QSize(312, 181));
    QVERIFY(setup.findChild<QCheckBox*>("chkMinimize")->isChecked());
    QCOMPARE(setup.findChild<QCheckBox*>("chkMinimize")->text(), QString("Minimize on Startup"));
    QCOMPARE(setup.findChild<QLineEdit*>("txtTaskView")->text(),
             QString::fromUtf8("/srv/taskéview"));
    QCOMPARE(LabelText(&setup, "lblTaskViewer"), QString("Automation Task Viewer Path"));

    engine.vars.StartMinimized = false;
    engine.vars.TaskViewDir.clear();
    FrmSetup again(&w, engine, nullptr);
    QVERIFY(!again.findChild<QCheckBox*>("chkMinimize")->isChecked());
    QCOMPARE(again.findChild<QLineEdit*>("txtTaskView")->text(), QString());
}

void DialogsTest::browseUsesTheMainWindowAndCancelEmpties() {
    FrmMain w;
    FakeEngine engine(w);
    engine.vars.TaskViewDir = "/old";
    QWidget* owner = nullptr;
    QString prompt;
    std::optional<QString> answer = QString("/");
    FrmSetup setup(&w, engine, [&](QWidget* o, const QString& p) {
        owner = o;
        prompt = p;
        return answer;
    });
    auto* text = setup.findChild<QLineEdit*>("txtTaskView");
    QTest::mouseClick(setup.findChild<QPushButton*>("cmdBrowse"), Qt::LeftButton);
    QCOMPARE(owner, static_cast<QWidget*>(&w));
    QCOMPARE(prompt, QString("Select the location to save Copy of Automation Database.  "
                             "Automation Task View will use this File."));
    QCOMPARE(text->text(), QString("/"));  // a root keeps its separator
    answer.reset();
    setup.cmdBrowse_Click();
    QCOMPARE(text->text(), QString());
    // The engine's value is untouched until OK.
    QCOMPARE(engine.vars.TaskViewDir, std::string("/old"));
}

void DialogsTest::okStoresAndClosesOrStaysOpenOnFailure() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    engine.vars.TaskViewDir = "/old";
    engine.setupSucceeds = false;
    WhenModal([&](QWidget* m) {
        QCOMPARE(m->objectName(), QString("frmSetup"));
        m->findChild<QCheckBox*>("chkMinimize")->setChecked(true);
        m->findChild<QLineEdit*>("txtTaskView")->setText(QString::fromUtf8("/new/é"));
        m->findChild<QPushButton*>("cmdOk")->click();
        // The store failed: the window is still there.
        QVERIFY(m->isVisible());
        QCOMPARE(w.Setup(), qobject_cast<FrmSetup*>(m));
        engine.setupSucceeds = true;
        m->findChild<QPushButton*>("cmdOk")->click();
    });
    w.findChild<QAction*>("mnuSetup")->trigger();
    QCOMPARE(w.Setup(), nullptr);
    QCOMPARE(engine.setups.size(), std::size_t(2));
    QVERIFY(engine.setups[1].StartMinimized);
    QCOMPARE(engine.setups[1].TaskView, std::string("/new/\xE9"));
}

void DialogsTest::cancelStoresNothing() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    WhenModal([](QWidget* m) {
        m->findChild<QCheckBox*>("chkMinimize")->setChecked(true);
        m->findChild<QPushButton*>("cmdCancel")->click();
    });
    w.mnuSetup_Click();
    QVERIFY(engine.setups.empty());
    QCOMPARE(w.Setup(), nullptr);
}

void DialogsTest::okWhileBusyWaitsForTheExecution() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.Start();
    engine.busy = true;
    WhenModal([&](QWidget* m) {
        m->findChild<QPushButton*>("cmdOk")->click();
        QVERIFY(engine.setups.empty());
        QTimer::singleShot(120, [&] { engine.busy = false; });
    });
    w.mnuSetup_Click();
    QCOMPARE(engine.setups.size(), std::size_t(1));
}

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
