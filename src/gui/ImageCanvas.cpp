#include "gui/ImageCanvas.h"

#include <QPainter>

namespace tandem {

void ImageCanvas::Rectangle(int x1, int y1, int x2, int y2) {
  if (x2 <= x1 || y2 <= y1) return;
  // Two fills rather than drawRect with a pen: a pen's outline lands one pixel past the
  // rectangle's right and bottom edges, and fills are exact whatever the render hints.
  QPainter painter(&image_);
  const QRect outer(QPoint(x1, y1), QPoint(x2 - 1, y2 - 1));
  painter.fillRect(outer, QColor(Qt::black));
  const QRect inner = outer.adjusted(1, 1, -1, -1);
  if (inner.isValid()) painter.fillRect(inner, QColor::fromRgb(static_cast<QRgb>(brush_)));
}

}  // namespace tandem
