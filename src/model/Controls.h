// The kinds of control of the window's state model. Every read or replacement of one value is
// atomic; texts are copied when read. No toolkit here: a view binds to these.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Convert.h"

namespace tandem {

// The longest prefix of `text` within `maxBytes` bytes that does not split a UTF-8 character, so
// a length limit never leaves half a character behind.
inline std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t n = maxBytes;
  // Back over continuation bytes (10xxxxxx) to the lead byte of the character cut in two; a
  // character is at most 4 bytes, so more than 3 of them is no UTF-8 and is cut where it is.
  for (int i = 0; i < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; ++i) --n;
  if ((static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = maxBytes;
  return text.substr(0, n);
}

// A free-text edit box (setting or display).
class EditBox {
 public:
  explicit EditBox(std::string initial, size_t maxLength = 0)
      : text_(std::move(initial)), maxLength_(maxLength) {}

  std::string Text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void SetText(std::string_view text) {
    if (maxLength_ != 0) text = Utf8Prefix(text, maxLength_);
    std::lock_guard lock(mutex_);
    text_.assign(text);
    version_.fetch_add(1);
  }
  // Bumped by every SetText, so readers can skip converting a text that did not change.
  uint64_t Version() const { return version_.load(); }
  size_t MaxLength() const { return maxLength_; }

 private:
  mutable std::mutex mutex_;
  std::string text_;
  std::atomic<uint64_t> version_{0};
  size_t maxLength_;
};

// Reads an integer setting, converting its text only when it changed, and keeping the last good
// value when the text is no whole number in [min, max]. One reader thread per instance.
class IntSetting {
 public:
  IntSetting(const EditBox& box, int32_t fallback, int32_t min = INT32_MIN, int32_t max = INT32_MAX)
      : box_(box), value_(fallback), min_(min), max_(max) {}

  int32_t Get() {
    uint64_t v = box_.Version();
    if (v != seen_) {
      seen_ = v;
      auto parsed = TryStrToInt(box_.Text());
      valid_ = parsed && *parsed >= min_ && *parsed <= max_;
      if (valid_) value_ = *parsed;
    }
    return value_;
  }
  // Whether the text read last was usable.
  bool Valid() const { return valid_; }

 private:
  const EditBox& box_;
  uint64_t seen_ = UINT64_MAX;
  int32_t value_;
  int32_t min_, max_;
  bool valid_ = true;
};

class CheckBox {
 public:
  CheckBox(std::string caption, bool checked) : caption_(std::move(caption)), checked_(checked) {}
  bool Checked() const { return checked_.load(); }
  void SetChecked(bool c) { checked_.store(c); }
  const std::string& Caption() const { return caption_; }

 private:
  std::string caption_;
  std::atomic<bool> checked_;
};

// Mutually exclusive buttons share one selection, so exactly one is checked at any time.
class RadioGroup {
 public:
  explicit RadioGroup(int selected) : selected_(selected) {}
  int Selected() const { return selected_.load(); }
  void Select(int index) { selected_.store(index); }

 private:
  std::atomic<int> selected_;
};

class RadioButton {
 public:
  RadioButton(RadioGroup& group, int index, std::string caption)
      : group_(group), index_(index), caption_(std::move(caption)) {}
  bool Checked() const { return group_.Selected() == index_; }
  void SetChecked() { group_.Select(index_); }
  int Index() const { return index_; }
  const std::string& Caption() const { return caption_; }

 private:
  RadioGroup& group_;
  int index_;
  std::string caption_;
};

// An up-down arrow pair with its own position; it is not bound to its edit box.
class UpDown {
 public:
  UpDown(int16_t min, int16_t max, int16_t position) : min_(min), max_(max), position_(position) {}
  // Moves by `delta` within [Min, Max] (no wrap) and returns the new position.
  int16_t Step(int delta) {
    int16_t cur = position_.load();
    auto next = std::clamp<int64_t>(int64_t{cur} + delta, min_, max_);
    position_.store(static_cast<int16_t>(next));
    return static_cast<int16_t>(next);
  }
  int16_t Position() const { return position_.load(); }
  int16_t Min() const { return min_; }
  int16_t Max() const { return max_; }

 private:
  int16_t min_, max_;
  std::atomic<int16_t> position_;
};

// A slider: a position kept within [Min, Max].
class Slider {
 public:
  Slider(int32_t min, int32_t max, int32_t position) : min_(min), max_(max), position_(position) {}
  int32_t Position() const { return position_.load(); }
  void SetPosition(int32_t p) { position_.store(std::clamp(p, min_, max_)); }
  int32_t Min() const { return min_; }
  int32_t Max() const { return max_; }

 private:
  int32_t min_, max_;
  std::atomic<int32_t> position_;
};

class Gauge {
 public:
  Gauge(int32_t maxValue, int32_t progress) : maxValue_(maxValue), progress_(progress) {}
  int32_t Progress() const { return progress_.load(); }
  void SetProgress(int32_t p) { progress_.store(p); }
  // What the bar shows: the progress clamped to 0..MaxValue.
  int32_t Shown() const { return std::clamp(progress_.load(), 0, maxValue_); }
  int32_t MaxValue() const { return maxValue_; }

 private:
  int32_t maxValue_;
  std::atomic<int32_t> progress_;
};

constexpr uint32_t kRgbRed = 0xFF0000;
constexpr uint32_t kRgbBlue = 0x0000FF;
constexpr uint32_t kRgbDefaultText = 0x000000;

// Lines are only appended. The oldest lines are forgotten past a bound, so a peer that floods
// chat cannot grow memory; cursors count every line ever appended.
class Memo {
 public:
  explicit Memo(std::string firstLine, size_t maxLines = 2000) : maxLines_(maxLines) {
    Append(std::move(firstLine));
  }

  void Append(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    ++total_;
    if (lines_.size() > maxLines_) lines_.pop_front();
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
  }
  // Lines appended since `cursor` (a count of lines ever appended); advances the cursor.
  std::vector<std::string> LinesSince(uint64_t& cursor) const {
    std::lock_guard lock(mutex_);
    uint64_t first = total_ - lines_.size();
    cursor = std::clamp(cursor, first, total_);  // a cursor from the future reads nothing
    std::vector<std::string> out(lines_.begin() + static_cast<long>(cursor - first), lines_.end());
    cursor = total_;
    return out;
  }
  uint64_t TotalAppended() const {
    std::lock_guard lock(mutex_);
    return total_;
  }
  uint32_t Color() const { return color_.load(); }
  void SetColor(uint32_t rgb) { color_.store(rgb); }

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
  uint64_t total_ = 0;
  size_t maxLines_;
  std::atomic<uint32_t> color_{kRgbDefaultText};
};

class Button {
 public:
  explicit Button(std::string caption, bool enabled = true)
      : caption_(std::move(caption)), enabled_(enabled) {}
  const std::string& Caption() const { return caption_; }
  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool e) { enabled_.store(e); }

 private:
  std::string caption_;
  std::atomic<bool> enabled_;
};

}  // namespace tandem
