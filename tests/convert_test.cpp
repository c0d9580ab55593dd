#include "model/Convert.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tandem {
namespace {

TEST(StrToInt, AcceptsAnOptionalSignAndDecimalDigits) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("+42"), 42);
  EXPECT_EQ(StrToInt("-5"), -5);
  EXPECT_EQ(StrToInt("-0"), 0);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("0000000000000000000000000001"), 1) << "leading zeros are no overflow";
  EXPECT_EQ(StrToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("+2147483647"), INT32_MAX);
}

TEST(StrToInt, RejectsEverythingElse) {
  for (const char* text : {"",
                           "+",
                           "-",
                           " ",
                           " 1",
                           "1 ",
                           "1\n",
                           "\t1",
                           "abc",
                           "12a",
                           "0x10",
                           "$10",
                           "1e3",
                           "1.5",
                           "1,000",
                           "--1",
                           "+-1",
                           "-+1",
                           "1-",
                           "2147483648",
                           "-2147483649",
                           "4294967296",
                           "99999999999999999999999999",
                           "-99999999999999999999999999",
                           "\xd9\xa3"}) {
    EXPECT_FALSE(TryStrToInt(text).has_value()) << "'" << text << "'";
    EXPECT_THROW(StrToInt(text), UserError) << "'" << text << "'";
  }
  // A NUL inside the text is no digit either, whatever follows it.
  EXPECT_FALSE(TryStrToInt(std::string_view("1\0"
                                            "2",
                                            3))
                   .has_value());
}

TEST(StrToInt, MessageNamesTheText) {
  try {
    StrToInt("abc");
    FAIL() << "no error";
  } catch (const UserError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  try {
    StrToInt("");
    FAIL() << "no error";
  } catch (const UserError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
}

TEST(FloatToStrGeneral, SpeedFigures) {
  // The speed display: precision 4, digits 5.
  EXPECT_EQ(FloatToStrGeneral(0.0, 4, 5), "0");
  EXPECT_EQ(FloatToStrGeneral(60.0, 4, 5), "60");
  EXPECT_EQ(FloatToStrGeneral(300.0, 4, 5), "300");
  EXPECT_EQ(FloatToStrGeneral(9960.0, 4, 5), "9960");
  EXPECT_EQ(FloatToStrGeneral(10000.0, 4, 5), "1E4");
  EXPECT_EQ(FloatToStrGeneral(12360.0, 4, 5), "1.236E4");
  EXPECT_EQ(FloatToStrGeneral(99999.0, 4, 5), "1E5") << "rounding carries into the exponent";
  EXPECT_EQ(FloatToStrGeneral(9999.6, 4, 5), "1E4");
  EXPECT_EQ(FloatToStrGeneral(1.0 / 3.0, 4, 5), "0.3333");
  EXPECT_EQ(FloatToStrGeneral(-60.0, 4, 5), "-60");
}

TEST(FloatToStrGeneral, BandwidthFigures) {
  // The bandwidth display: precision 2; 360 bytes over the nominal 3 s read 0.12.
  EXPECT_EQ(FloatToStrGeneral(360 * (1.0 / 3000), 2, 2), "0.12");
  EXPECT_EQ(FloatToStrGeneral(0.0, 2, 2), "0");
  EXPECT_EQ(FloatToStrGeneral(1.5, 2, 2), "1.5");
  EXPECT_EQ(FloatToStrGeneral(12.0, 2, 2), "12");
  EXPECT_EQ(FloatToStrGeneral(123.0, 2, 2), "1.2E2");
}

TEST(FloatToStrGeneral, TinyAndOddValues) {
  EXPECT_EQ(FloatToStrGeneral(0.00001, 4, 5), "0.00001");
  EXPECT_EQ(FloatToStrGeneral(0.000001, 4, 5), "1E-6");
  EXPECT_EQ(FloatToStrGeneral(1e300, 4, 5), "1E300");
  EXPECT_EQ(FloatToStrGeneral(std::numeric_limits<double>::infinity(), 4, 5), "INF");
  EXPECT_EQ(FloatToStrGeneral(std::numeric_limits<double>::quiet_NaN(), 4, 5), "NAN");
  // Precisions outside what a double holds must neither crash nor overrun.
  EXPECT_EQ(FloatToStrGeneral(5.0, 0, 5), "5");
  std::string huge = FloatToStrGeneral(1e308, 1000, 5);
  EXPECT_EQ(huge.substr(0, 2), "1.");
  EXPECT_NE(huge.find("E308"), std::string::npos) << huge;
  EXPECT_FALSE(FloatToStrGeneral(-1.7e308, 99, 99).empty());
}

}  // namespace
}  // namespace tandem
