// Text <-> number conversions for settings typed by the user and figures shown to them.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tandem {

// A command could not run with what the user typed; the front end shows what() to the user.
class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An optional sign and decimal digits, within 32 bits; anything else (blanks included) is no number.
std::optional<int32_t> TryStrToInt(std::string_view text);
// As TryStrToInt, but a text that is no number throws UserError: "'abc' is not a valid integer value".
int32_t StrToInt(std::string_view text);

inline std::string IntToStr(int64_t v) { return std::to_string(v); }

// The general format: the shortest text with at most `precision` significant digits (1..18) and
// no trailing zeros; plain while the integer part has at most `precision` digits and the value
// is at least 0.00001 in size, scientific otherwise with the exponent in its shortest form
// ("9960", "1E4", "1.002E4", "1E-6"). `digits` is taken for the caller's habit and not used.
std::string FloatToStrGeneral(double value, int precision, int digits);

}  // namespace tandem
