#pragma once
// Window layouts are given in twips (15 to a pixel) for the classic 11-pixel face. The windows
// use the desktop's font; when it is larger, every position and size grows by the same factor,
// so the arrangement stays as designed and the text fits its control.
#include <QFont>
#include <QRect>

namespace qtx {

class TwipLayout {
  public:
    explicit TwipLayout(const QFont& font);

    double Scale() const { return scale_; }
    int Px(int twips) const;
    QRect Rect(int left, int top, int width, int height) const;
    // The font at size/11 of the given one: the design's other faces (10 and 13 pixels) kept in
    // proportion to the desktop's.
    static QFont Sized(const QFont& font, int designPixels, bool bold = false);

  private:
    double scale_ = 1.0;
};

// The colour halfway between text and background leaning to the text: secondary text that stays
// readable on a light and a dark palette.
QColor SecondaryText(const QColor& text, const QColor& background);

}  // namespace qtx
