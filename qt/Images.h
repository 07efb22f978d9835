#pragma once
// The pictures of the desktop window, drawn in code: the two window icons of the image list
// (1 switcher connected, 2 not connected) and the maker's picture of the About window.
#include <QIcon>
#include <QPixmap>

namespace qtx {

// Image 1 or 2 of the image list; any other number gives the not-connected image.
QIcon WindowIcon(int image);
QPixmap MakerPicture(int width, int height);

}  // namespace qtx
