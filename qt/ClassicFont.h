#pragma once
// The small sans-serif face the window layouts were measured for.
#include <QFont>

namespace qtx {

inline QFont ClassicFont(bool bold = false, int pixelSize = 11) {
    QFont f(QStringLiteral("Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

}  // namespace qtx
