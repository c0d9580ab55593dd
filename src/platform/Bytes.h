// Bounds-checked reading and writing of wire bytes. A reader never reads past its end: a read
// that would returns false (and zero), and the reader stays failed, so one check at the end of a
// parse tells whether every field was there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tandem {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

  bool Ok() const { return ok_; }
  size_t Remaining() const { return ok_ ? data_.size() - pos_ : 0; }
  size_t Position() const { return pos_; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
  uint16_t U16Be() {
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint16_t U16Le() {
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  uint32_t U32Be() {
    if (!Need(4)) return 0;
    uint32_t v = uint32_t{data_[pos_]} << 24 | uint32_t{data_[pos_ + 1]} << 16 |
                 uint32_t{data_[pos_ + 2]} << 8 | uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return v;
  }
  uint32_t U32Le() {
    if (!Need(4)) return 0;
    uint32_t v = uint32_t{data_[pos_]} | uint32_t{data_[pos_ + 1]} << 8 |
                 uint32_t{data_[pos_ + 2]} << 16 | uint32_t{data_[pos_ + 3]} << 24;
    pos_ += 4;
    return v;
  }
  // The next n bytes; an empty span (and a failed reader) when fewer remain.
  std::span<const uint8_t> Bytes(size_t n) {
    if (!Need(n)) return {};
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  bool Skip(size_t n) { return !Bytes(n).empty() || n == 0; }

 private:
  bool Need(size_t n) {
    if (!ok_ || data_.size() - pos_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}
  void U8(uint8_t v) { out_.push_back(v); }
  void U16Be(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v >> 8));
    out_.push_back(static_cast<uint8_t>(v));
  }
  void U16Le(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void U32Be(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out_.push_back(static_cast<uint8_t>(v >> s));
  }
  void U32Le(uint32_t v) {
    for (int s = 0; s <= 24; s += 8) out_.push_back(static_cast<uint8_t>(v >> s));
  }
  void Bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  size_t Size() const { return out_.size(); }

 private:
  std::vector<uint8_t>& out_;
};

}  // namespace tandem
