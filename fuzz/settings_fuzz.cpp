// The conversions of texts typed by the user and of figures shown to them: integer parsing
// against a reference model, the cached setting reader over a run of edits, length limits on
// UTF-8 text, and the general float format read back.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "model/Controls.h"
#include "model/Convert.h"

using namespace tandem;

namespace {

// What the text means as an int32, computed independently: an optional sign, then digits only.
std::optional<int32_t> ReferenceInt(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = std::min<__int128>(value * 10 + (text[i] - '0'), __int128{1} << 40);
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

void CheckIntegers(const std::string& text) {
  const auto parsed = TryStrToInt(text);
  FUZZ_CHECK(parsed == ReferenceInt(text));
  try {
    const int32_t v = StrToInt(text);
    FUZZ_CHECK(parsed && *parsed == v);
  } catch (const UserError& e) {
    FUZZ_CHECK(!parsed);
    // The message names the text (as far as a C string can carry it).
    FUZZ_CHECK(std::string(e.what()).find(text.substr(0, text.find('\0'))) != std::string::npos);
  }
  if (parsed) FUZZ_CHECK(TryStrToInt(IntToStr(*parsed)) == parsed);
}

// A run of edits read by one IntSetting: always the last text that was a number in range.
void CheckIntSetting(FuzzedDataProvider& in) {
  const int32_t fallback = in.ConsumeIntegral<int32_t>();
  int32_t lo = in.ConsumeIntegralInRange(-200, 200);
  int32_t hi = in.ConsumeIntegralInRange(-200, 200);
  if (in.ConsumeBool()) {
    lo = INT32_MIN;
    hi = INT32_MAX;
  }
  EditBox box(std::to_string(fallback));
  IntSetting setting(box, fallback, lo, hi);
  int32_t expected = fallback;
  bool expectedValid = true;
  if (fallback < lo || fallback > hi) expectedValid = false;
  const int edits = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < edits; ++i) {
    if (in.ConsumeBool()) {
      std::string text = in.ConsumeRandomLengthString(24);
      box.SetText(text);
      const auto v = ReferenceInt(text);
      expectedValid = v && *v >= lo && *v <= hi;
      if (expectedValid) expected = *v;
    } else if (i == 0) {
      // The initial text is read on the first Get like any other.
      const auto v = ReferenceInt(box.Text());
      if (v && *v >= lo && *v <= hi) expected = *v;
    }
    const int32_t got = setting.Get();
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(setting.Valid() == expectedValid || i == 0);
    FUZZ_CHECK(got == fallback || (got >= lo && got <= hi));
  }
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

void CheckLengthLimit(const std::string& text, size_t limit) {
  EditBox box("", limit);
  box.SetText(text);
  const std::string kept = box.Text();
  FUZZ_CHECK(kept.size() <= limit);
  FUZZ_CHECK(text.compare(0, kept.size(), kept) == 0);
  // A character is never cut in two, and at most the bytes of one character are given up.
  if (ValidUtf8(text)) FUZZ_CHECK(ValidUtf8(kept));
  if (text.size() > limit) FUZZ_CHECK(kept.size() + 3 >= limit);
}

void CheckFloat(double value, int precision, int digits) {
  const std::string s = FloatToStrGeneral(value, precision, digits);
  FUZZ_CHECK(!s.empty());
  if (std::isnan(value)) {
    FUZZ_CHECK(s == "NAN");
    return;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(s == (value > 0 ? "INF" : "-INF"));
    return;
  }
  for (char c : s) FUZZ_CHECK(std::string_view("0123456789.-E").find(c) != std::string::npos);
  const size_t e = s.find('E');
  const std::string mantissa = s.substr(0, e);
  if (mantissa.find('.') != std::string::npos) {
    FUZZ_CHECK(mantissa.back() != '0' && mantissa.back() != '.');  // no trailing zeros
  }
  if (e != std::string::npos) {
    const std::string exponent = s.substr(e + 1);
    const size_t first = exponent[0] == '-' ? 1 : 0;
    FUZZ_CHECK(exponent.size() > first && exponent[first] != '0');  // shortest exponent form
  }
  // Read back, it is the value to the precision asked for.
  const double back = std::strtod(s.c_str(), nullptr);
  const int p = std::clamp(precision, 1, 18);
  if (std::isinf(back) || std::fabs(value) < DBL_MIN) return;  // rounded past the range
  const double tolerance = 0.5 * std::pow(10.0, 1 - p) * 1.000001 + 4 * DBL_EPSILON;
  FUZZ_CHECK(std::fabs(back - value) <= tolerance * std::fabs(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      CheckIntegers(in.ConsumeRemainingBytesAsString());
      break;
    case 1:
      CheckIntSetting(in);
      break;
    case 2: {
      const size_t limit = in.ConsumeIntegralInRange<size_t>(1, 120);
      CheckLengthLimit(in.ConsumeRemainingBytesAsString(), limit);
      break;
    }
    default: {
      const int precision = in.ConsumeIntegralInRange(-3, 25);
      const int digits = in.ConsumeIntegralInRange(-3, 25);
      CheckFloat(in.ConsumeFloatingPoint<double>(), precision, digits);
      break;
    }
  }
  return 0;
}
