// The on-screen piano keyboard: keys 36..95, painted from a key-state array onto a surface.
#pragma once

#include <cstdint>

#include "model/FormCtrl.h"

namespace tandem {

struct ClipBounds {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// The few drawing operations the keyboard needs, so it can be drawn on any pixel surface.
class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual ClipBounds ClipRect() const = 0;
  virtual void SetBrushColor(uint32_t rgb) = 0;
  // Covers columns x1..x2-1 and rows y1..y2-1: a 1-pixel black outline on the border pixels,
  // the interior filled with the brush. Nothing is painted when x2 <= x1 or y2 <= y1.
  virtual void Rectangle(int x1, int y1, int x2, int y2) = 0;
};

constexpr uint32_t kRgbWhite = 0xFFFFFF;
constexpr uint32_t kRgbBlack = 0x000000;

constexpr int kFirstShownKey = 36;
constexpr int kShownOctaves = 5;
constexpr int kWhiteKeysShown = 7 * kShownOctaves;

// Paints all 35 white keys, then the 25 black keys over them; a key is red while its entry is
// non-zero. Nothing else on the surface is touched.
void DrawKeyboard(Canvas& canvas, const KeyArray& keys);

}  // namespace tandem
