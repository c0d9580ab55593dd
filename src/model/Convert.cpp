#include "model/Convert.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tandem {

std::optional<int32_t> TryStrToInt(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t StrToInt(std::string_view text) {
  if (auto v = TryStrToInt(text)) return *v;
  throw UserError("'" + std::string(text) + "' is not a valid integer value");
}

namespace {

std::string TrimZeros(std::string mantissa) {
  if (mantissa.find('.') == std::string::npos) return mantissa;
  while (!mantissa.empty() && mantissa.back() == '0') mantissa.pop_back();
  if (!mantissa.empty() && mantissa.back() == '.') mantissa.pop_back();
  return mantissa;
}

}  // namespace

std::string FloatToStrGeneral(double value, int precision, int digits) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // Beyond 18 digits a double has nothing more to say, and the buffer below stays large enough.
  precision = std::clamp(precision, 1, 18);
  // Round to `precision` significant digits first; the exponent decides the notation.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", precision - 1, value);
  std::string s(buf);
  auto epos = s.find('e');
  int exponent = std::stoi(s.substr(epos + 1));
  if (exponent < precision && exponent >= -5) {
    int decimals = std::max(0, precision - 1 - exponent);
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return TrimZeros(buf);
  }
  (void)digits;
  std::string mantissa = TrimZeros(s.substr(0, epos));
  return mantissa + "E" + std::to_string(exponent);
}

}  // namespace tandem
