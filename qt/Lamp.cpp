#include "qt/Lamp.h"

#include <QPainter>

namespace qtx {

void Lamp::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QColor(0, 0, 0));
    p.setBrush(color_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace qtx
