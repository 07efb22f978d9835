// The desktop window under a dark theme and a larger font, and its way back from the tray: rows
// that stay readable and whole, About and Setup minimised with the window and restored with it,
// and a window that comes back where it was with the keyboard focus.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>
#include <map>

#include "FakeEngine.h"
#include "ModalDriver.h"
#include "common/Constants.h"
#include "qt/FrmAbout.h"
#include "qt/FrmMain.h"

using namespace qtx;
using namespace qtx::test;

namespace {

QPalette DarkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), base(42, 42, 42), text(230, 230, 230);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

double Luminance(QRgb c) {
    auto lin = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(qRed(c)) + 0.7152 * lin(qGreen(c)) + 0.0722 * lin(qBlue(c));
}

double Contrast(QRgb a, QRgb b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of rendered text in rect of image: the commonest colour is the background, the
// colour farthest from it in luminance is the text.
double TextContrast(const QImage& image, const QRect& rect) {
    std::map<QRgb, int> counts;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            ++counts[image.pixel(x, y) | 0xFF000000u];
    const QRgb background =
        std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        })->first;
    double best = 1.0;
    for (const auto& [colour, n] : counts)
        best = std::max(best, Contrast(colour, background));
    return best;
}

// An application palette and font for one test, put back afterwards.
struct DesktopTheme {
    DesktopTheme(const QPalette& palette, int pixelSize)
        : oldPalette(QApplication::palette()), oldFont(QApplication::font()) {
        QApplication::setPalette(palette);
        QFont f = oldFont;
        f.setPixelSize(pixelSize);
        QApplication::setFont(f);
    }
    ~DesktopTheme() {
        QApplication::setPalette(oldPalette);
        QApplication::setFont(oldFont);
    }
    QPalette oldPalette;
    QFont oldFont;
};

}  // namespace

class WindowThemeAndTrayTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion"))); }
    void darkThemeAndLargeFontKeepRowsReadableAndWhole();
    void minimisedDialogTakesTheWindowToTheTrayAndComesBackWithIt();
    void restoredWindowComesBackInPlaceWithKeyboardFocus();
};

void WindowThemeAndTrayTest::darkThemeAndLargeFontKeepRowsReadableAndWhole() {
    DesktopTheme theme(DarkPalette(), 18);
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    MainWindow& view = w;
    view.AddHistoryRow("Monday", "08:00:00", "Morning feed");
    view.SetHistoryColor(constants::ColorBlack);
    view.AddNextRow("Tuesday", "10:00:00", "Promo WWWWWWWW");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    auto* hist = w.findChild<QTreeWidget*>("lvHistory");
    auto* next = w.findChild<QTreeWidget*>("lvNext");
    // The next-event row is whole (top to bottom) inside its list, and the list does not run
    // under the status bar. A long title may still be cut at the right edge.
    const QRect row = next->visualItemRect(next->topLevelItem(0));
    const QRect viewport = next->viewport()->rect();
    QVERIFY2(row.top() >= viewport.top() && row.bottom() <= viewport.bottom(),
             "next-event row is cut");
    auto* status = w.findChild<QWidget*>("StatusBar1");
    QVERIFY(next->geometry().bottom() < status->geometry().top());
    QVERIFY(status->geometry().bottom() < w.centralWidget()->height());

    // Ordinary (black) history text follows the dark palette; red stays red and readable.
    const QImage ordinary = hist->viewport()->grab().toImage();
    const QRect histRow = hist->visualItemRect(hist->topLevelItem(0));
    QVERIFY2(TextContrast(ordinary, histRow) >= 4.5, "history text unreadable on dark");
    view.SetHistoryColor(constants::ColorRed);
    QCOMPARE(hist->palette().color(QPalette::Text), QColor(255, 0, 0));
    QVERIFY(TextContrast(hist->viewport()->grab().toImage(), histRow) >= 3.0);
    const QImage nextImage = next->viewport()->grab().toImage();
    QVERIFY2(TextContrast(nextImage, row.intersected(viewport)) >= 4.5,
             "next-event text unreadable on dark");

    // About's maker lines stay readable on the dark window.
    WhenModal([](QWidget* modal) {
        for (const char* name : {"lblQTXaddress", "lblQTXaddress2"}) {
            auto* l = modal->findChild<QLabel*>(name);
            const QImage img = l->grab().toImage();
            QVERIFY2(TextContrast(img, img.rect()) >= 4.5, name);
        }
        modal->findChild<QPushButton*>("cmdAboutquit")->click();
    });
    w.mnuAbout_Click();
}

void WindowThemeAndTrayTest::minimisedDialogTakesTheWindowToTheTrayAndComesBackWithIt() {
    for (const char* dialogName : {"frmAbout", "frmSetup"}) {
        FrmMain w;
        FakeEngine engine(w);
        w.Attach(engine);
        w.SetTrayAvailable([] { return true; });
        w.Start();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // A window of its own, as the tray icon is: it must still get clicks while the dialog
        // is up.
        QPushButton outside(QStringLiteral("tray stand-in"));
        int outsideClicks = 0;
        connect(&outside, &QPushButton::clicked, [&] { ++outsideClicks; });
        outside.show();
        QVERIFY(QTest::qWaitForWindowExposed(&outside));

        bool checked = false;
        WhenModal([&](QWidget* dialog) {
            // A failed check below must not leave the dialog's loop running.
            QTimer::singleShot(10000, dialog,
                               [dialog] { qobject_cast<QDialog*>(dialog)->reject(); });
            QCOMPARE(dialog->objectName(), QString::fromLatin1(dialogName));
            dialog->setWindowState(Qt::WindowMinimized);  // the operator's minimise
            QTRY_VERIFY(w.InTray());
            QVERIFY(!w.isVisible());
            QTest::mouseClick(&outside, Qt::LeftButton);
            QCOMPARE(outsideClicks, 1);
            w.Form_MouseMove(QSystemTrayIcon::Trigger);  // a click on the tray icon
            QVERIFY(w.isVisible() && !w.isMinimized() && !w.InTray());
            QVERIFY(dialog->isVisible() && !dialog->isMinimized());
            QTRY_COMPARE(QApplication::activeWindow(), dialog);
            checked = true;
            qobject_cast<QDialog*>(dialog)->reject();
        });
        if (QByteArray(dialogName) == "frmAbout")
            w.mnuAbout_Click();
        else
            w.mnuSetup_Click();
        QVERIFY2(checked, dialogName);
    }
}

void WindowThemeAndTrayTest::restoredWindowComesBackInPlaceWithKeyboardFocus() {
    FrmMain w;
    FakeEngine engine(w);
    w.Attach(engine);
    w.SetTrayAvailable([] { return true; });
    w.Start();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.move(140, 90);
    QTRY_COMPARE(w.pos(), QPoint(140, 90));
    const QRect before = w.geometry();
    w.showMinimized();
    QTRY_VERIFY(w.InTray());
    w.move(0, 0);  // as a window manager may leave a hidden window
    // Another window has the focus meanwhile.
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);
    w.mnuRestore_Click();
    QTRY_VERIFY(w.isActiveWindow());
    QCOMPARE(w.geometry(), before);
    QTRY_VERIFY(QApplication::focusWidget() != nullptr);
    QCOMPARE(QApplication::focusWidget()->window(), &w);
}

QTEST_MAIN(WindowThemeAndTrayTest)
#include "WindowThemeAndTrayTest.moc"
