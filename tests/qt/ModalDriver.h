#pragma once
// Answers the next modal window from inside its own event loop: a test arms it, then runs the
// code that opens the window.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>

namespace qtx::test {

// Calls act(modal) once a modal widget is up (polling for up to two seconds).
inline void WhenModal(std::function<void(QWidget*)> act, int triesLeft = 200) {
    QTimer::singleShot(10, [act = std::move(act), triesLeft]() mutable {
        if (QWidget* w = QApplication::activeModalWidget())
            act(w);
        else if (triesLeft > 0)
            WhenModal(std::move(act), triesLeft - 1);
    });
}

// What the answered message box showed.
struct SeenBox {
    QString Text, Title;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QWidget* Parent = nullptr;
    QMessageBox::StandardButtons Buttons;
    bool Seen = false;
};

inline void AnswerNextBox(QMessageBox::StandardButton button, SeenBox* seen = nullptr) {
    WhenModal([button, seen](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        if (seen)
            *seen = {box->text(),         box->windowTitle(),     box->icon(),
                     box->parentWidget(), box->standardButtons(), true};
        if (QAbstractButton* b = box->button(button))
            b->click();
    });
}

}  // namespace qtx::test
