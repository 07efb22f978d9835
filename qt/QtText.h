#pragma once
// The crossing between the engine's 8-bit texts (Windows-1252) and Qt's strings, and the twip
// measure of the window layouts.
#include <QRect>
#include <QString>
#include <string>

namespace qtx {

QString FromCp1252(const std::string& bytes);
std::string ToCp1252(const QString& text);
// As FromCp1252, with each carriage return (alone or before a line feed) turned into a line
// break, for the texts that use character 13 to start a second line.
QString FromCp1252Lines(const std::string& bytes);

// Layouts are given in twips, 15 to a pixel.
inline constexpr int TwipsPerPixel = 15;
inline int Px(int twips) {
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}
inline QRect TwipRect(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

}  // namespace qtx
