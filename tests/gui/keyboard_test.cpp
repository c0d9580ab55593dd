// The keyboard painted on a real QImage, checked pixel by pixel.
#include <gtest/gtest.h>

#include <QImage>

#include "model/DrawKeyboard.h"
#include "gui/ImageCanvas.h"

namespace tandem {
namespace {

constexpr QRgb kRed = 0xFFFF0000;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kGrey = 0xFF808080;  // the background, so unpainted pixels show

struct Keys {
  KeyArray keys{};
  Keys() {
    for (auto& k : keys) k.store(0);
  }
};

QImage Paint(const KeyArray& keys, int width = 385, int height = 89) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(kGrey);
  ImageCanvas canvas(image);
  DrawKeyboard(canvas, keys);
  return image;
}

QRgb At(const QImage& image, int x, int y) {
  return image.pixel(x, y) | 0xFF000000;
}

// Colour a key of a 385x89 picture shows at (x, y): the expected picture, computed by hand.
QRgb Expected(int x, int y, int redWhite = -1, int redBlack = -1) {
  // Black keys: 8 columns starting 8 into white keys 0,1,3,4,5 of each octave, rows 0..59.
  for (int octave = 0; octave < 5; ++octave) {
    const int whites[] = {0, 1, 3, 4, 5};
    for (int b = 0; b < 5; ++b) {
      int left = 11 * (7 * octave + whites[b]) + 8;
      if (x >= left && x < left + 8 && y < 60) {
        bool edge = x == left || x == left + 7 || y == 0 || y == 59;
        if (edge) return kBlack;
        return octave * 5 + b == redBlack ? kRed : kBlack;
      }
    }
  }
  int white = x / 11;
  int col = x % 11;
  if (col == 0 || col == 10 || y == 0 || y == 88) return kBlack;
  return white == redWhite ? kRed : kWhite;
}

void ExpectPicture(const QImage& image, int redWhite = -1, int redBlack = -1) {
  int mismatches = 0;
  for (int y = 0; y < 89; ++y) {
    for (int x = 0; x < 385; ++x) {
      if (At(image, x, y) != Expected(x, y, redWhite, redBlack) && ++mismatches <= 5) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << At(image, x, y)
                      << ", expected " << Expected(x, y, redWhite, redBlack);
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(KeyboardPicture, AllKeysUpShowsOutlinedWhiteAndBlackKeys) {
  Keys k;
  QImage image = Paint(k.keys);
  ExpectPicture(image);
  // Spot checks that pin the layout independently of the model above.
  EXPECT_EQ(At(image, 5, 80), kWhite);    // key 36, below the black keys
  EXPECT_EQ(At(image, 10, 80), kBlack);   // right outline of key 36
  EXPECT_EQ(At(image, 11, 80), kBlack);   // left outline of key 38
  EXPECT_EQ(At(image, 8, 30), kBlack);    // key 37 covers columns 8..15
  EXPECT_EQ(At(image, 16, 30), kWhite);   // just past key 37
  EXPECT_EQ(At(image, 12, 60), kWhite);   // just below key 37 (rows 0..59)
  EXPECT_EQ(At(image, 384, 88), kBlack);  // the last white key reaches the last column
}

TEST(KeyboardPicture, MiddleCIsRedOverItsColumns) {
  Keys k;
  k.keys[60].store(1);
  QImage image = Paint(k.keys);
  ExpectPicture(image, /*redWhite=*/14);
  // Columns 154..164: red inside the outline, below the black key that covers its right part.
  EXPECT_EQ(At(image, 154, 80), kBlack);
  EXPECT_EQ(At(image, 155, 80), kRed);
  EXPECT_EQ(At(image, 163, 80), kRed);
  EXPECT_EQ(At(image, 164, 80), kBlack);
  EXPECT_EQ(At(image, 160, 30), kRed);    // left of the black key
  EXPECT_EQ(At(image, 163, 30), kBlack);  // an up black key stays black over a red white key
}

TEST(KeyboardPicture, SharpIsRedOverItsColumnsAndRows) {
  Keys k;
  k.keys[61].store(1);
  QImage image = Paint(k.keys);
  ExpectPicture(image, -1, /*redBlack=*/10);
  EXPECT_EQ(At(image, 162, 30), kBlack);  // outline
  EXPECT_EQ(At(image, 163, 1), kRed);
  EXPECT_EQ(At(image, 168, 58), kRed);
  EXPECT_EQ(At(image, 169, 30), kBlack);
  EXPECT_EQ(At(image, 165, 59), kBlack);
  EXPECT_EQ(At(image, 166, 60), kWhite);  // the white key below
  EXPECT_EQ(At(image, 170, 30), kWhite);
}

TEST(KeyboardPicture, AnyNonZeroEntryIsDown) {
  Keys a, b, c;
  a.keys[60].store(1);
  b.keys[60].store(2);
  c.keys[60].store(-1);
  EXPECT_EQ(Paint(b.keys), Paint(a.keys));
  EXPECT_EQ(Paint(c.keys), Paint(a.keys));
}

TEST(KeyboardPicture, KeysOutsideTheFiveOctavesChangeNothing) {
  Keys none, outside;
  for (int key = 0; key < 36; ++key) outside.keys[key].store(1);
  for (int key = 96; key < 128; ++key) outside.keys[key].store(1);
  EXPECT_EQ(Paint(outside.keys), Paint(none.keys));
  // And the edges of the range are shown.
  Keys low, high;
  low.keys[36].store(1);
  high.keys[95].store(1);
  EXPECT_EQ(At(Paint(low.keys), 3, 80), kRed);
  EXPECT_EQ(At(Paint(high.keys), 380, 80), kRed);
}

TEST(KeyboardPicture, NarrowerThanThirtyFiveColumnsPaintsNothing) {
  Keys k;
  k.keys[60].store(1);
  QImage image = Paint(k.keys, 34, 89);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) ASSERT_EQ(At(image, x, y), kGrey) << x << "," << y;
}

TEST(KeyboardPicture, ColumnsBeyondWholeKeysStayUnpainted) {
  Keys k;
  QImage image = Paint(k.keys, 35 * 11 + 20, 89);  // W = 11, 20 columns spare
  EXPECT_EQ(At(image, 384, 80), kBlack);
  for (int y = 0; y < 89; ++y)
    for (int x = 385; x < image.width(); ++x) ASSERT_EQ(At(image, x, y), kGrey) << x << "," << y;
}

TEST(KeyboardPicture, SmallKeysFollowTheSameIntegerLayout) {
  // W = 3, H = 14: white keys are 3 columns with one interior column; black keys start
  // 3 div 2 + 3 div 3 = 2 columns in, are 3 - 1 = 2 wide (all outline) and (14 div 7) * 5 = 10
  // high.
  Keys k;
  k.keys[36].store(1);
  QImage image = Paint(k.keys, 105, 14);
  EXPECT_EQ(At(image, 1, 5), kRed);    // key 36's interior
  EXPECT_EQ(At(image, 1, 0), kBlack);  // its outline
  EXPECT_EQ(At(image, 1, 13), kBlack);
  EXPECT_EQ(At(image, 2, 5), kBlack);   // key 37 over columns 2..3
  EXPECT_EQ(At(image, 4, 5), kWhite);   // key 38's interior, between two sharps
  EXPECT_EQ(At(image, 2, 11), kBlack);  // key 36's right outline below the sharp
  EXPECT_EQ(At(image, 3, 11), kBlack);  // key 38's left outline
  EXPECT_EQ(At(image, 4, 11), kWhite);
}

TEST(ImageCanvas, RectangleCoversExactlyItsColumnsAndRows) {
  QImage image(10, 8, QImage::Format_RGB32);
  image.fill(kGrey);
  ImageCanvas canvas(image);
  canvas.SetBrushColor(0xFF0000);
  canvas.Rectangle(2, 1, 7, 6);  // columns 2..6, rows 1..5
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 10; ++x) {
      bool inside = x >= 2 && x <= 6 && y >= 1 && y <= 5;
      bool border = inside && (x == 2 || x == 6 || y == 1 || y == 5);
      QRgb want = !inside ? kGrey : border ? kBlack : kRed;
      ASSERT_EQ(At(image, x, y), want) << x << "," << y;
    }
  }
  // Empty and inverted rectangles paint nothing; a 1-pixel one is all outline.
  QImage before = image;
  canvas.Rectangle(3, 3, 3, 7);
  canvas.Rectangle(5, 5, 2, 2);
  canvas.Rectangle(0, 0, 9, 0);
  EXPECT_EQ(image, before);
  canvas.Rectangle(8, 7, 9, 8);
  EXPECT_EQ(At(image, 8, 7), kBlack);
}

}  // namespace
}  // namespace tandem
