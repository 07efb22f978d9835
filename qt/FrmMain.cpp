#include "qt/FrmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "common/Constants.h"
#include "qt/FrmAbout.h"
#include "qt/HelpViewer.h"
#include "qt/Images.h"
#include "qt/QtText.h"
#include "qt/TwipLayout.h"
#include "ui/StateMessages.h"

namespace qtx {

namespace {

// The tray icon's tooltip: the program's name, and the role when the engine is in a group.
QString TrayTip(const QString& role) {
    const QString name = QStringLiteral("QTX Automation Module");
    return role.isEmpty() ? name : name + QStringLiteral("\n") + role;
}

constexpr int ClientWidth = 6645;
constexpr int HelpContentsContext = 10;
constexpr int BusyRetryMs = 50;

QTreeWidget* MakeListView(QWidget* parent, const char* name, const QRect& r,
                          const TwipLayout& layout) {
    auto* lv = new QTreeWidget(parent);
    lv->setObjectName(QString::fromLatin1(name));
    lv->setGeometry(r);
    lv->setRootIsDecorated(false);
    lv->setItemsExpandable(false);
    lv->setUniformRowHeights(true);
    lv->setSelectionMode(QAbstractItemView::SingleSelection);
    lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv->setHeaderLabels(
        {QStringLiteral("Day"), QStringLiteral("Time of Day"), QStringLiteral("Title")});
    lv->header()->setStretchLastSection(false);
    lv->header()->setSectionResizeMode(QHeaderView::Interactive);
    lv->setColumnWidth(0, layout.Px(1411));
    lv->setColumnWidth(1, layout.Px(1764));
    lv->setColumnWidth(2, layout.Px(6262));
    return lv;
}

void AddRow(QTreeWidget* lv, const std::string& day, const std::string& time,
            const std::string& title) {
    auto* item =
        new QTreeWidgetItem(QStringList{FromCp1252(day), FromCp1252(time), FromCp1252(title)});
    lv->addTopLevelItem(item);
}

}  // namespace

FrmMain::FrmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("QTX Automation"));
    SetIcon(constants::IconNotConnected);
    // The desktop's font; the layout grows with it (TwipLayout).
    const TwipLayout layout(font());

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // The controls keep their places: resizing the window moves none of them.
    lblHistory_ = new QLabel(QStringLiteral("Event History"), client);
    lblHistory_->setObjectName(QStringLiteral("lblHistory"));
    lblHistory_->setGeometry(layout.Rect(120, 240, 6375, 255));

    lvHistory_ = MakeListView(client, "lvHistory", layout.Rect(120, 480, 6375, 1815), layout);

    cmdClearList_ = new QPushButton(QStringLiteral("&Clear"), client);
    cmdClearList_->setObjectName(QStringLiteral("cmdClearList"));
    cmdClearList_->setGeometry(layout.Rect(5950, 275, 516, 200));
    cmdClearList_->setToolTip(QStringLiteral("Clear Command History"));
    cmdClearList_->setFont(TwipLayout::Sized(font(), 10));
    cmdClearList_->setStyleSheet(QStringLiteral("QPushButton { padding: 0px; }"));
    cmdClearList_->setAutoDefault(false);
    connect(cmdClearList_, &QPushButton::clicked, this, &FrmMain::cmdClearList_Click);

    lblNext_ = new QLabel(QStringLiteral("Next Event to Run"), client);
    lblNext_->setObjectName(QStringLiteral("lblNext"));
    lblNext_->setGeometry(layout.Rect(120, 2400, 6375, 255));

    lvNext_ = MakeListView(client, "lvNext", layout.Rect(120, 2640, 6375, 495), layout);
    // The list is one row high: a horizontal scroll bar for the wide Title column would cover
    // that row, so none is shown (a long title is cut at the edge instead).
    lvNext_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvNext_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    statusBar1_ = new QStatusBar(client);
    statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
    statusBar1_->setGeometry(layout.Rect(0, 3135, ClientWidth, 375));
    statusBar1_->setSizeGripEnabled(false);
    const char* tips[3] = {
        "Number of Automation Events.  Includes each day a single event is active", "Current Date",
        "Current Time"};
    for (int i = 0; i < 3; ++i) {
        panels_[i] = new QLabel(statusBar1_);
        panels_[i]->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panels_[i]->setToolTip(QString::fromLatin1(tips[i]));
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels_[i]->setMargin(1);
        panels_[i]->setIndent(3);
    }
    // Panel widths are ours to choose: the count takes what the date and time leave.
    panels_[1]->setMinimumWidth(layout.Px(165 * TwipsPerPixel));
    panels_[2]->setMinimumWidth(layout.Px(72 * TwipsPerPixel));
    statusBar1_->addWidget(panels_[0], 1);
    statusBar1_->addWidget(panels_[1], 0);
    statusBar1_->addWidget(panels_[2], 0);

    BuildMenus();

    tray_ = new QSystemTrayIcon(this);
    tray_->setObjectName(QStringLiteral("TrayIcon"));
    tray_->setToolTip(TrayTip(role_));
    tray_->setContextMenu(mnuSysTray_);
    connect(tray_, &QSystemTrayIcon::activated, this, &FrmMain::Form_MouseMove);
    trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    chooser_ = ChooseFolderWithDialog;

    FitNextList();
    client->setMinimumSize(layout.Px(ClientWidth), statusBar1_->geometry().bottom() + 1);
    resize(client->minimumWidth(), client->minimumHeight() + menuBar()->sizeHint().height());
}

void FrmMain::FitNextList() {
    // The next-event list holds its header and one whole row in the style's own metrics; when
    // these need more than the designed height it grows, and the status bar moves down with it.
    auto* probe = new QTreeWidgetItem(QStringList{QStringLiteral("Wednesday")});
    const bool empty = lvNext_->topLevelItemCount() == 0;
    if (empty)
        lvNext_->addTopLevelItem(probe);
    const int row = lvNext_->sizeHintForRow(0);
    if (empty)
        delete lvNext_->takeTopLevelItem(0);
    else
        delete probe;
    const int needed = lvNext_->header()->sizeHint().height() + row + 2 * lvNext_->frameWidth();
    const int grow = needed - lvNext_->height();
    if (grow <= 0)
        return;
    lvNext_->resize(lvNext_->width(), needed);
    statusBar1_->move(statusBar1_->x(), statusBar1_->y() + grow);
}

FrmMain::~FrmMain() = default;

void FrmMain::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFIle"));
    QAction* setup = file->addAction(QStringLiteral("&Setup"));
    setup->setObjectName(QStringLiteral("mnuSetup"));
    connect(setup, &QAction::triggered, this, &FrmMain::mnuSetup_Click);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    QAction* contents = help->addAction(QStringLiteral("&Contents"));
    contents->setObjectName(QStringLiteral("mnuContents"));
    connect(contents, &QAction::triggered, this, &FrmMain::mnuContents_Click);
    help->addSeparator()->setObjectName(QStringLiteral("mnuSep1"));
    QAction* about = help->addAction(QStringLiteral("&About"));
    about->setObjectName(QStringLiteral("mnuAbout"));
    connect(about, &QAction::triggered, this, &FrmMain::mnuAbout_Click);

    // The tray's pop-up menu; it is not part of the menu bar.
    mnuSysTray_ = new QMenu(QStringLiteral("&SysTray"), this);
    mnuSysTray_->setObjectName(QStringLiteral("mnuSysTray"));
    QAction* restore = mnuSysTray_->addAction(QStringLiteral("&Restore"));
    restore->setObjectName(QStringLiteral("mnuRestore"));
    connect(restore, &QAction::triggered, this, &FrmMain::mnuRestore_Click);
    mnuSysTray_->addSeparator()->setObjectName(QStringLiteral("mnuSep"));
    QAction* exitAction = mnuSysTray_->addAction(QStringLiteral("E&xit"));
    exitAction->setObjectName(QStringLiteral("mnuExit"));
    connect(exitAction, &QAction::triggered, this, &FrmMain::mnuExit_Click);
}

void FrmMain::Start() {
    if (engine_)
        engine_->Form_Load();
    started_ = true;
    if (startMinimized_) {
        startMinimized_ = false;
        if (trayAvailable_()) {
            // Straight into the tray: the window is never seen at start.
            setWindowState(windowState() | Qt::WindowMinimized);
            HideIntoTray();
            return;
        }
        showMinimized();
        return;
    }
    show();
}

// ---- The view ----

void FrmMain::SetCaption(const std::string& caption) {
    setWindowTitle(FromCp1252(caption));
}

void FrmMain::SetIcon(int image) {
    icon_ = image;
    setWindowIcon(WindowIcon(image));
}

bool FrmMain::IsMinimized() {
    return inTray_ || startMinimized_ || isMinimized();
}

void FrmMain::Minimize() {
    if (!started_) {
        // Before the first showing: Start() minimises instead of showing.
        startMinimized_ = true;
        return;
    }
    setWindowState(windowState() | Qt::WindowMinimized);
}

void FrmMain::TrayModify() {
    tray_->setIcon(windowIcon());
}

void FrmMain::TrayDelete() {
    tray_->hide();
    inTray_ = false;
}

void FrmMain::SetPanelText(int panel, const std::string& text) {
    if (panel >= 1 && panel <= 3)
        panels_[panel - 1]->setText(FromCp1252(text));
}

void FrmMain::ClearNextList() {
    lvNext_->clear();
}

void FrmMain::AddNextRow(const std::string& day, const std::string& time,
                         const std::string& title) {
    AddRow(lvNext_, day, time, title);
}

void FrmMain::SetHistoryColor(int32_t color) {
    historyColor_ = color;
    ApplyHistoryColor();
}

void FrmMain::ApplyHistoryColor() {
    // 0x00BBGGRR, one colour for every row of the list. Black is the list's ordinary text, so
    // it takes the palette's text colour: black on a light desktop, readable on a dark one.
    QPalette p = QApplication::palette(lvHistory_);
    if (historyColor_ != constants::ColorBlack) {
        const QColor c(historyColor_ & 0xFF, (historyColor_ >> 8) & 0xFF,
                       (historyColor_ >> 16) & 0xFF);
        p.setColor(QPalette::Text, c);
        p.setColor(QPalette::HighlightedText, c);
    }
    lvHistory_->setPalette(p);
}

void FrmMain::AddHistoryRow(const std::string& day, const std::string& time,
                            const std::string& title) {
    AddRow(lvHistory_, day, time, title);
    lvHistory_->scrollToBottom();
}

void FrmMain::ClearHistory() {
    lvHistory_->clear();
}

namespace {
// A history row's values, beside its texts: the run's number and its confirmation so far.
constexpr int kNumberRole = Qt::UserRole;
constexpr int kResultRole = Qt::UserRole + 1;
constexpr int kMsRole = Qt::UserRole + 2;
constexpr int kReasonRole = Qt::UserRole + 3;
}  // namespace

void FrmMain::ShowEventOutcome(const EventOutcome& outcome) {
    const int n = lvHistory_->topLevelItemCount();
    if (n > 0)
        lvHistory_->topLevelItem(n - 1)->setData(0, kNumberRole, int{outcome.Number});
}

void FrmMain::ShowConfirmOutcome(const ConfirmOutcome& o) {
    // The row of the run (the newest with its number, day and time) shows its confirmation as
    // a tool tip: the list keeps its three columns and its one colour.
    for (int i = lvHistory_->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* item = lvHistory_->topLevelItem(i);
        const QVariant number = item->data(0, kNumberRole);
        if (!number.isValid() || number.toInt() != o.Number || item->text(0) != FromCp1252(o.Day) ||
            item->text(1) != FromCp1252(o.Time))
            continue;
        state::RowConfirmation was;
        if (item->data(0, kResultRole).isValid()) {
            was.Has = true;
            was.Result = static_cast<state::ConfirmResult>(item->data(0, kResultRole).toInt());
            was.Ms = item->data(0, kMsRole).toLongLong();
            was.Reason = item->data(0, kReasonRole).toString().toStdString();
        }
        const state::RowConfirmation c =
            state::Combine(was, state::LinkConfirmation(o.Result, o.Ms, o.Reason, o.Link));
        item->setData(0, kResultRole, static_cast<int>(c.Result));
        item->setData(0, kMsRole, static_cast<qlonglong>(c.Ms));
        item->setData(0, kReasonRole, QString::fromStdString(c.Reason));
        QString tip;
        switch (c.Result) {
            case state::ConfirmResult::Confirmed:
                tip = QStringLiteral("Confirmed in %1 ms").arg(c.Ms);
                break;
            case state::ConfirmResult::NotConfirmed:
                tip = QStringLiteral("Not confirmed: ") + FromCp1252(c.Reason);
                break;
            case state::ConfirmResult::Superseded:
                tip = FromCp1252(c.Reason);
                break;
            case state::ConfirmResult::Sent:
                tip = QStringLiteral("Sent");
                break;
        }
        for (int col = 0; col < item->columnCount(); ++col)
            item->setToolTip(col, tip);
        return;
    }
}

MessageBoxAnswer FrmMain::ShowMessageBox(const std::string& text, const std::string& title,
                                         MessageBoxKind kind, MessageBoxButtons buttons) {
    // Always owned by this window, so it stays on top of it and centred over it.
    QMessageBox box(
        kind == MessageBoxKind::Critical ? QMessageBox::Critical : QMessageBox::Information,
        FromCp1252(title), FromCp1252Lines(text),
        buttons == MessageBoxButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                               : QMessageBox::StandardButtons(QMessageBox::Ok),
        this);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(buttons == MessageBoxButtons::OkCancel ? QMessageBox::Cancel
                                                               : QMessageBox::Ok);
    const int answer = box.exec();
    return answer == QMessageBox::Ok          ? MessageBoxAnswer::Ok
           : buttons == MessageBoxButtons::Ok ? MessageBoxAnswer::Ok
                                              : MessageBoxAnswer::Cancel;
}

void FrmMain::UnloadAllWindows() {
    // The other windows first, the main window last: its unload asks the exit question.
    if (setup_)
        setup_->reject();
    if (about_ && about_->isVisible())
        about_->done(QDialog::Rejected);
    if (help_)
        help_->close();
    if (state_ == State::Running)
        UnloadMainWindow();
}

// ---- Exit ----

bool FrmMain::UnloadMainWindow() {
    if (state_ != State::Running)
        return true;
    if (engine_ && engine_->Form_QueryUnload())
        return false;
    Shutdown();
    return true;
}

void FrmMain::Shutdown() {
    state_ = State::Unloading;
    if (engine_) {
        engine_->Form_Unload();
        engine_->Form_Terminate();
    }
    tray_->hide();
    inTray_ = false;
    hide();
    state_ = State::Ended;
    FinishExit();
}

void FrmMain::FinishExit() {
    // The application ends only once no execution is on the stack below us.
    if (Busy()) {
        QTimer::singleShot(BusyRetryMs, this, &FrmMain::FinishExit);
        return;
    }
    emit Ended();
}

void FrmMain::closeEvent(QCloseEvent* e) {
    if (state_ == State::Ended) {
        e->accept();
        return;
    }
    // The window stays; it goes only through the exit question.
    e->ignore();
    if (state_ != State::Running)
        return;
    if (Busy()) {
        // Asked once the execution that let this event through has finished.
        QTimer::singleShot(BusyRetryMs, this, [this] {
            if (state_ == State::Running)
                close();
        });
        return;
    }
    if (engine_)
        UnloadMainWindow();
    else
        Shutdown();
}

void FrmMain::mnuExit_Click() {
    if (state_ != State::Running)
        return;
    if (Busy()) {
        QTimer::singleShot(BusyRetryMs, this, &FrmMain::mnuExit_Click);
        return;
    }
    // The engine's unload closes the help and unloads every window; unloading this one asks.
    if (engine_)
        engine_->Form_Unload();
    else
        UnloadAllWindows();
    QuitHelp();
}

bool FrmMain::CommitSession(bool interactionAllowed) {
    if (state_ != State::Running)
        return false;
    if (interactionAllowed)
        return !UnloadMainWindow();
    // The session is ending without a chance to ask: shut down cleanly.
    Shutdown();
    return false;
}

// ---- Minimise and the tray ----

void FrmMain::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange)
        Form_Resize();
    else if (e->type() == QEvent::PaletteChange && lvHistory_ != nullptr)
        ApplyHistoryColor();  // a new desktop theme: ordinary history text follows it
}

void FrmMain::Form_Resize() {
    const bool restoring = engine_ ? engine_->Vars().RestoringWindow : false;
    if (restoring || state_ != State::Running)
        return;
    if (!isMinimized())
        return;
    // With no notification area the window would become unreachable: it minimises normally.
    if (!trayAvailable_())
        return;
    // Hidden once the state change is over: a showMinimized() in progress would show the
    // window again after this handler.
    QTimer::singleShot(0, this, [this] {
        if (state_ == State::Running && isMinimized() && !inTray_ && isVisible())
            HideIntoTray();
    });
}

void FrmMain::HideIntoTray() {
    // Brought back later at the same place and with the same control focused.
    trayGeometry_ = saveGeometry();
    trayFocus_ = focusWidget();
    // An open About or Setup goes with the window (minimised, so Setup keeps what was typed)
    // and comes back with it.
    for (QDialog* d : OpenDialogs())
        d->setWindowState(d->windowState() | Qt::WindowMinimized);
    hide();
    tray_->setIcon(windowIcon());
    tray_->setToolTip(TrayTip(role_));
    tray_->show();
    inTray_ = true;
}

void FrmMain::Form_MouseMove(QSystemTrayIcon::ActivationReason reason) {
    // Many tray hosts send a single trigger rather than a double-click: both restore. The
    // right button's pop-up menu is the tray's context menu.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        mnuRestore_Click();
}

void FrmMain::mnuRestore_Click() {
    bool ownFlag = false;
    bool& restoring = engine_ ? engine_->Vars().RestoringWindow : ownFlag;
    restoring = true;
    if (!trayGeometry_.isEmpty())
        restoreGeometry(trayGeometry_);
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
    // Keyboard focus back where it was, else on the history list; an open About or Setup is
    // restored on top and takes the focus, as it had it.
    QWidget* focus = trayFocus_ ? trayFocus_.data() : lvHistory_;
    focus->setFocus(Qt::ActiveWindowFocusReason);
    for (QDialog* d : OpenDialogs()) {
        d->setWindowState(d->windowState() & ~Qt::WindowMinimized);
        d->show();
        d->raise();
        d->activateWindow();
    }
    TrayDelete();
    restoring = false;
}

std::vector<QDialog*> FrmMain::OpenDialogs() const {
    std::vector<QDialog*> open;
    if (about_ && about_->isVisible())
        open.push_back(about_.get());
    if (setup_)
        open.push_back(setup_);
    return open;
}

void FrmMain::DialogMinimised(QDialog* dialog) {
    // A minimised About or Setup would leave the main window blocked behind it with nothing
    // on screen: the whole program goes into the tray, and the tray brings both back. Without
    // a notification area the dialog stays up.
    if (state_ != State::Running || inTray_)
        return;
    if (!trayAvailable_()) {
        dialog->setWindowState(dialog->windowState() & ~Qt::WindowMinimized);
        dialog->show();
        return;
    }
    setWindowState(windowState() | Qt::WindowMinimized);
    HideIntoTray();
}

// ---- Commands ----

void FrmMain::cmdClearList_Click() {
    ClearHistory();
}

void FrmMain::mnuSetup_Click() {
    if (!engine_ || setup_)
        return;
    // Loaded afresh at each opening so it shows the current values.
    FrmSetup dialog(this, *engine_, chooser_);
    connect(&dialog, &FrmSetup::Minimised, this, [this, &dialog] { DialogMinimised(&dialog); });
    setup_ = &dialog;
    dialog.exec();
    setup_ = nullptr;
}

void FrmMain::mnuAbout_Click() {
    if (!engine_)
        return;
    if (!about_) {
        about_ = std::make_unique<FrmAbout>(this, *engine_);
        connect(about_.get(), &FrmAbout::Minimised, this,
                [this] { DialogMinimised(about_.get()); });
    }
    if (about_->isVisible())
        return;
    about_->exec();
}

void FrmMain::mnuContents_Click() {
    ShowHelpContext(HelpContentsContext);
}

// ---- Help ----

void FrmMain::InitHelp(const std::string& helpFileOrFolder) {
    // Given a folder, the help file is the one in it; surrounding blanks are ignored when
    // deciding whether the folder already ends in a separator.
    std::string s = helpFileOrFolder;
    const auto first = s.find_first_not_of(' ');
    const auto last = s.find_last_not_of(' ');
    const std::string trimmed = first == std::string::npos ? "" : s.substr(first, last - first + 1);
    if (trimmed.empty() || trimmed.back() == '/')
        helpFile_ = trimmed + constants::HelpFileName;
    else
        helpFile_ = trimmed;
}

void FrmMain::ShowHelpContext(int context) {
    if (!help_)
        help_ = new HelpViewer(this);
    help_->ShowTopic(helpFile_, context);
}

void FrmMain::QuitHelp() {
    if (help_)
        help_->close();
}

void FrmMain::ShowRole(const state::RoleState& role) {
    role_ = QString::fromStdString(state::RoleLine(role));
    tray_->setToolTip(TrayTip(role_));
    setToolTip(role_);
}

}  // namespace qtx
