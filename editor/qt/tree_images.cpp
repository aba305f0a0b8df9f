#include "editor/qt/tree_images.h"

#include <QBitmap>
#include <QPainter>
#include <QPixmap>

namespace dravik::qt {

namespace {
void DrawNetwork(QPainter& p) {
  // Two screens on a bus line.
  p.setPen(QColor(0, 0, 128));
  p.setBrush(QColor(0, 128, 128));
  p.drawRect(1, 1, 5, 4);
  p.drawRect(9, 1, 5, 4);
  p.setPen(Qt::black);
  p.drawLine(3, 6, 3, 9);
  p.drawLine(11, 6, 11, 9);
  p.drawLine(0, 10, 15, 10);
  p.drawLine(7, 10, 7, 13);
  p.setBrush(QColor(192, 192, 192));
  p.drawRect(5, 13, 4, 2);
}

void DrawRack(QPainter& p) {
  // A PLC rack: frame with four modules and status lamps.
  p.setPen(Qt::black);
  p.setBrush(QColor(192, 192, 192));
  p.drawRect(1, 2, 13, 11);
  p.setBrush(QColor(128, 128, 128));
  for (int i = 0; i < 4; ++i) p.drawRect(2 + i * 3, 4, 2, 8);
  p.setPen(QColor(0, 255, 0));
  p.drawPoint(3, 5);
  p.setPen(QColor(255, 0, 0));
  p.drawPoint(6, 5);
}

void DrawBlock(QPainter& p) {
  // A data block: a small table of words.
  p.setPen(QColor(0, 0, 128));
  p.setBrush(Qt::white);
  p.drawRect(2, 1, 11, 13);
  p.setPen(QColor(0, 0, 255));
  for (int y = 4; y <= 12; y += 3) p.drawLine(4, y, 11, y);
  p.setPen(QColor(128, 0, 0));
  p.drawLine(7, 2, 7, 13);
}
}  // namespace

QImage DrawTreeStrip() {
  QImage strip(kStripWidth, kStripHeight, QImage::Format_RGB32);
  strip.fill(QColor::fromRgb(kMaskColour));
  QPainter p(&strip);
  DrawNetwork(p);
  p.translate(16, 0);
  DrawRack(p);
  p.translate(16, 0);
  DrawBlock(p);
  p.end();
  return strip;
}

std::vector<QIcon> TreeIcons() {
  const QImage strip = DrawTreeStrip();
  std::vector<QIcon> icons;
  for (int i = 0; i < 3; ++i) {
    QPixmap pixmap = QPixmap::fromImage(strip.copy(i * 16, 0, 16, 16));
    pixmap.setMask(pixmap.createMaskFromColor(QColor::fromRgb(kMaskColour), Qt::MaskInColor));
    icons.emplace_back(pixmap);
  }
  return icons;
}

}  // namespace dravik::qt
