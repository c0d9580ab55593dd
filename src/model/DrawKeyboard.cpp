#include "model/DrawKeyboard.h"

namespace tandem {

namespace {

struct KeyPlace {
  int semitone;    // within the octave
  int whiteIndex;  // of the natural at or just below it
};

constexpr KeyPlace kWhites[] = {{0, 0}, {2, 1}, {4, 2}, {5, 3}, {7, 4}, {9, 5}, {11, 6}};
constexpr KeyPlace kBlacks[] = {{1, 0}, {3, 1}, {6, 3}, {8, 4}, {10, 5}};

bool Down(const KeyArray& keys, int key) {
  return keys[static_cast<size_t>(key)].load() != 0;
}

}  // namespace

void DrawKeyboard(Canvas& canvas, const KeyArray& keys) {
  const ClipBounds clip = canvas.ClipRect();
  const int w = (clip.Right - clip.Left) / kWhiteKeysShown;
  const int h = clip.Bottom - clip.Top;

  for (int octave = 0; octave < kShownOctaves; ++octave) {
    for (const KeyPlace& k : kWhites) {
      const int key = kFirstShownKey + 12 * octave + k.semitone;
      const int x = clip.Left + w * (7 * octave + k.whiteIndex);
      canvas.SetBrushColor(Down(keys, key) ? kRgbRed : kRgbWhite);
      canvas.Rectangle(x, clip.Top, x + w, clip.Bottom);
    }
  }

  // Black keys sit 5/7 of the way down, starting past the middle of the white key below them.
  const int blackWidth = w - w / 3;
  const int blackBottom = clip.Top + (h / 7) * 5;
  for (int octave = 0; octave < kShownOctaves; ++octave) {
    for (const KeyPlace& k : kBlacks) {
      const int key = kFirstShownKey + 12 * octave + k.semitone;
      const int x = clip.Left + w / 2 + w / 3 + w * (7 * octave + k.whiteIndex);
      canvas.SetBrushColor(Down(keys, key) ? kRgbRed : kRgbBlack);
      canvas.Rectangle(x, clip.Top, x + blackWidth, blackBottom);
    }
  }
}

}  // namespace tandem
