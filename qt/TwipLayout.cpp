#include "qt/TwipLayout.h"

#include <QColor>
#include <QFontMetricsF>
#include <algorithm>
#include <cmath>

#include "qt/ClassicFont.h"
#include "qt/QtText.h"

namespace qtx {

TwipLayout::TwipLayout(const QFont& font) {
    const double design = QFontMetricsF(ClassicFont()).height();
    const double actual = QFontMetricsF(font).height();
    if (design > 0)
        scale_ = std::max(1.0, actual / design);
}

int TwipLayout::Px(int twips) const {
    return static_cast<int>(std::lround(twips * scale_ / TwipsPerPixel));
}

QRect TwipLayout::Rect(int left, int top, int width, int height) const {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

QFont TwipLayout::Sized(const QFont& font, int designPixels, bool bold) {
    QFont f = font;
    constexpr double designFace = 11.0;
    if (f.pixelSize() > 0)
        f.setPixelSize(
            std::max(1, static_cast<int>(std::lround(f.pixelSize() * designPixels / designFace))));
    else
        f.setPointSizeF(f.pointSizeF() * designPixels / designFace);
    f.setBold(bold);
    return f;
}

QColor SecondaryText(const QColor& text, const QColor& background) {
    constexpr double towardText = 0.75;
    auto mix = [](int t, int b) {
        return static_cast<int>(std::lround(t * towardText + b * (1 - towardText)));
    };
    return QColor(mix(text.red(), background.red()), mix(text.green(), background.green()),
                  mix(text.blue(), background.blue()));
}

}  // namespace qtx
