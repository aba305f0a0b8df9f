// The tree's three 16x16 images (network, PLC rack, data block), drawn into
// one 58x16 strip with a magenta mask colour and cut into icons, as the
// original image list was built from its bitmap. GUI thread only.
#pragma once

#include <QIcon>
#include <QImage>
#include <vector>

namespace dravik::qt {

constexpr int kStripWidth = 58;
constexpr int kStripHeight = 16;
constexpr unsigned kMaskColour = 0xFF00FF;

// The strip: magenta where nothing is drawn.
QImage DrawTreeStrip();
// Three icons of 16 pixels cut from the left of the strip, magenta made
// transparent so the tree's background shows through.
std::vector<QIcon> TreeIcons();

}  // namespace dravik::qt
