#include "qt/FrmAbout.h"

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "qt/Images.h"
#include "qt/Lamp.h"
#include "qt/QtText.h"
#include "qt/TwipLayout.h"

namespace qtx {

namespace {

const QColor LampOn(0, 255, 0);
const QColor LampOff(224, 224, 224);

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& r) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(r);
    return l;
}

}  // namespace

FrmAbout::FrmAbout(QWidget* owner, EngineHooks& engine) : QDialog(owner), engine_(engine) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("QTX Automation Engine Information"));
    const TwipLayout layout(font());
    // One size smaller than the desktop's face, as designed: the captions fit their widths.
    setFont(TwipLayout::Sized(font(), 10));
    setFixedSize(layout.Px(7455), layout.Px(3345));
    // Modal for the main window only: the tray icon and its menu stay usable meanwhile.
    setWindowModality(Qt::WindowModal);

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setGeometry(layout.Rect(120, 15, 750, 435));
    image->setPixmap(MakerPicture(50, 29));

    QLabel* title =
        MakeLabel(this, "lblQTXtitle", QStringLiteral("VORLANDT"), layout.Rect(1200, 0, 3810, 240));
    title->setFont(TwipLayout::Sized(font(), 13, true));
    // The maker's address lines: neutral texts of our own, in their places, in a secondary
    // text colour taken from the palette (readable on a light and on a dark desktop).
    makerLines_[0] = MakeLabel(this, "lblQTXaddress", QStringLiteral("Routing switcher automation"),
                               layout.Rect(1200, 210, 3810, 180));
    makerLines_[1] =
        MakeLabel(this, "lblQTXaddress2", QStringLiteral("Operating notes: Help > Contents"),
                  layout.Rect(1200, 375, 3810, 180));

    auto* setupInfo = new QGroupBox(QStringLiteral("Setup Information"), this);
    setupInfo->setObjectName(QStringLiteral("frmSetupInfo"));
    setupInfo->setGeometry(layout.Rect(120, 840, 4095, 2295));
    struct Row {
        const char* captionName;
        const char* caption;
        int captionWidth;
        const char* valueName;
        int top;
    };
    const Row rows[] = {
        {"lblTcpPort1", "TCP/IP Port :", 1095, "lblTcpPort", 480},
        {"lblIPaddr1", "Server IP Address", 1335, "lblIPAddr", 840},
        {"lblLogFile1", "Log File:", 1095, "lblLogFile", 1200},
        {"lblSlaveIPPort1", "Slave IP Port :", 1215, "lblSlaveIPPort", 1560},
        {"lblSlaveIPAddr1", "Slave IP Address", 1335, "lblSlaveIPAddr", 1920},
    };
    QLabel* values[5];
    for (int i = 0; i < 5; ++i) {
        MakeLabel(setupInfo, rows[i].captionName, QString::fromLatin1(rows[i].caption),
                  layout.Rect(120, rows[i].top, rows[i].captionWidth, 255));
        values[i] = MakeLabel(setupInfo, rows[i].valueName, QStringLiteral("Not Specified"),
                              layout.Rect(1680, rows[i].top, 1725, 255));
    }
    lblTcpPort_ = values[0];
    lblIPAddr_ = values[1];
    lblLogFile_ = values[2];
    lblSlaveIPPort_ = values[3];
    lblSlaveIPAddr_ = values[4];

    shSwitcherStatus_ = new Lamp(setupInfo);
    shSwitcherStatus_->setObjectName(QStringLiteral("shSwitcherStatus"));
    shSwitcherStatus_->setGeometry(layout.Rect(3480, 880, 195, 135));
    shSlaveStatus_ = new Lamp(setupInfo);
    shSlaveStatus_->setObjectName(QStringLiteral("shSlaveStatus"));
    shSlaveStatus_->setGeometry(layout.Rect(3480, 1950, 195, 135));
    for (Lamp* l : {shSwitcherStatus_, shSlaveStatus_})
        l->setToolTip(QStringLiteral("Address Status"));

    auto* versionInfo = new QGroupBox(QStringLiteral("Version Information"), this);
    versionInfo->setObjectName(QStringLiteral("frmVersionInfo"));
    versionInfo->setGeometry(layout.Rect(4440, 870, 2895, 975));
    lblVersionInfo_ =
        MakeLabel(versionInfo, "lblVersionInfo", QString(), layout.Rect(120, 360, 2655, 495));
    lblVersionInfo_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* quit = new QPushButton(QStringLiteral("&Ok"), this);
    quit->setObjectName(QStringLiteral("cmdAboutquit"));
    quit->setGeometry(layout.Rect(4440, 2640, 2865, 495));
    quit->setDefault(true);
    connect(quit, &QPushButton::clicked, this, &FrmAbout::cmdAboutquit_Click);
}

void FrmAbout::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && isMinimized())
        emit Minimised();
}

void FrmAbout::showEvent(QShowEvent* e) {
    // Every opening is an activation: the values are a snapshot taken now and kept while the
    // window stays open.
    Form_Activate();
    for (QLabel* l : makerLines_) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, SecondaryText(palette().color(QPalette::WindowText),
                                                       palette().color(QPalette::Window)));
        l->setPalette(p);
    }
    QDialog::showEvent(e);
}

void FrmAbout::Form_Activate() {
    const Variables& v = engine_.Vars();
    lblIPAddr_->setText(FromCp1252(v.ServerIPAddr));
    lblTcpPort_->setText(QStringLiteral("Port ") + QString::number(v.ServerIPPort));
    lblLogFile_->setText(QStringLiteral("Tally.dat"));
    lblSlaveIPAddr_->setText(FromCp1252(v.SlaveIPAddr));
    lblSlaveIPPort_->setText(QStringLiteral("Port ") + QString::number(v.SlaveIPPort));
    lblVersionInfo_->setText(
        FromCp1252Lines(std::string("QTX Automation Engine\rVersion 1.09 - 10/18/2002")));
    shSwitcherStatus_->SetColor(v.SwitcherConnected ? LampOn : LampOff);
    shSlaveStatus_->SetColor(v.SlaveSwitcherConnected ? LampOn : LampOff);
}

void FrmAbout::cmdAboutquit_Click() {
    // Hidden, not destroyed: the next opening shows this same window and refills it.
    accept();
}

}  // namespace qtx
