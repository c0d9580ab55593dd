// The keyboard surface on a QImage.
#pragma once

#include <QImage>

#include "model/DrawKeyboard.h"

namespace tandem {

class ImageCanvas : public Canvas {
 public:
  // Draws onto `image`, which must outlive the canvas.
  explicit ImageCanvas(QImage& image) : image_(image) {}

  ClipBounds ClipRect() const override { return {0, 0, image_.width(), image_.height()}; }
  void SetBrushColor(uint32_t rgb) override { brush_ = rgb; }
  void Rectangle(int x1, int y1, int x2, int y2) override;

 private:
  QImage& image_;
  uint32_t brush_ = kRgbWhite;
};

}  // namespace tandem
