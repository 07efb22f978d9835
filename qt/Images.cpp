#include "qt/Images.h"

#include <QPainter>
#include <QPainterPath>

#include "common/Constants.h"

namespace qtx {

namespace {

// A small routing-switcher front: a dark panel with a grid of crosspoint buttons and a status
// light, green with a lit crosspoint when connected, red with a cross when not.
QPixmap DrawSwitcher(int size, bool connected) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.scale(s, s);
    p.setPen(QPen(QColor(20, 20, 20), 1.2));
    p.setBrush(QColor(60, 70, 90));
    p.drawRoundedRect(QRectF(2, 6, 28, 20), 3, 3);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            const bool lit = connected && r == 1 && c == 2;
            p.setPen(Qt::NoPen);
            p.setBrush(lit ? QColor(255, 210, 40) : QColor(170, 180, 195));
            p.drawRect(QRectF(5 + c * 5, 9 + r * 5, 3.5, 3.5));
        }
    }
    const QColor lamp = connected ? QColor(0, 200, 0) : QColor(220, 0, 0);
    p.setPen(QPen(QColor(20, 20, 20), 0.8));
    p.setBrush(lamp);
    p.drawEllipse(QPointF(26, 16), 2.6, 2.6);
    if (!connected) {
        p.setPen(QPen(QColor(220, 0, 0), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 28), QPointF(13, 20));
        p.drawLine(QPointF(5, 20), QPointF(13, 28));
    }
    return pm;
}

}  // namespace

QIcon WindowIcon(int image) {
    const bool connected = image == constants::IconConnected;
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(DrawSwitcher(size, connected));
    return icon;
}

QPixmap MakerPicture(int width, int height) {
    QPixmap pm(width, height);
    pm.fill(QColor(0, 40, 110));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // A stylised signal path: three inputs converging on one output.
    p.setPen(QPen(QColor(255, 255, 255), 2));
    const qreal w = width, h = height;
    for (int i = 0; i < 3; ++i) {
        QPainterPath path(QPointF(4, h * (0.2 + 0.3 * i)));
        path.cubicTo(QPointF(w * 0.4, h * (0.2 + 0.3 * i)), QPointF(w * 0.4, h * 0.5),
                     QPointF(w * 0.7, h * 0.5));
        p.drawPath(path);
    }
    p.setBrush(QColor(255, 200, 0));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(w * 0.8, h * 0.5), h * 0.18, h * 0.18);
    return pm;
}

}  // namespace qtx
