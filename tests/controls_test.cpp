#include "model/Controls.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tandem {
namespace {

TEST(Utf8Prefix, CutsOnlyBetweenCharacters) {
  EXPECT_EQ(Utf8Prefix("abc", 3), "abc");
  EXPECT_EQ(Utf8Prefix("abcd", 3), "abc");
  EXPECT_EQ(Utf8Prefix("", 0), "");
  EXPECT_EQ(Utf8Prefix("abc", 0), "");
  const std::string e = "\xc3\xa9";             // é, 2 bytes
  const std::string euro = "\xe2\x82\xac";      // €, 3 bytes
  const std::string clef = "\xf0\x9d\x84\x9e";  // 𝄞, 4 bytes
  EXPECT_EQ(Utf8Prefix("a" + e, 2), "a");
  EXPECT_EQ(Utf8Prefix("a" + e, 3), "a" + e);
  EXPECT_EQ(Utf8Prefix("a" + euro, 2), "a");
  EXPECT_EQ(Utf8Prefix("a" + euro, 3), "a");
  EXPECT_EQ(Utf8Prefix("a" + clef + "b", 4), "a");
  EXPECT_EQ(Utf8Prefix("a" + clef + "b", 5), "a" + clef);
  EXPECT_EQ(Utf8Prefix(clef, 3), "");
  // Not UTF-8 at all: a run of continuation bytes is cut where the limit says.
  EXPECT_EQ(Utf8Prefix(std::string(10, '\x80'), 6).size(), 6u);
}

TEST(EditBox, LimitsLengthAndCountsVersions) {
  EditBox box("start", 5);
  uint64_t v0 = box.Version();
  box.SetText("abcdefgh");
  EXPECT_EQ(box.Text(), "abcde");
  EXPECT_NE(box.Version(), v0);
  box.SetText("ab\xc3\xa9\xc3\xa9");  // "abéé": 6 bytes, the second é does not fit
  EXPECT_EQ(box.Text(), "ab\xc3\xa9");

  EditBox unlimited("");
  unlimited.SetText(std::string(10000, 'z'));
  EXPECT_EQ(unlimited.Text().size(), 10000u);
}

TEST(IntSetting, KeepsTheLastGoodValue) {
  EditBox box("5");
  IntSetting setting(box, 99, 1, 16);
  EXPECT_EQ(setting.Get(), 5);
  EXPECT_TRUE(setting.Valid());
  box.SetText("abc");
  EXPECT_EQ(setting.Get(), 5);
  EXPECT_FALSE(setting.Valid());
  box.SetText("17");  // a number, but out of range
  EXPECT_EQ(setting.Get(), 5);
  EXPECT_FALSE(setting.Valid());
  box.SetText("16");
  EXPECT_EQ(setting.Get(), 16);
  EXPECT_TRUE(setting.Valid());

  EditBox bad("x");
  IntSetting fallback(bad, 42);
  EXPECT_EQ(fallback.Get(), 42) << "an unusable first text gives the fallback";
  EXPECT_FALSE(fallback.Valid());
}

TEST(IntSetting, FollowsATextChangedByAnotherThread) {
  EditBox box("0");
  IntSetting setting(box, 0);
  std::thread writer([&] {
    for (int i = 1; i <= 1000; ++i) box.SetText(std::to_string(i));
  });
  int last = 0;
  while (last != 1000) {
    int v = setting.Get();
    ASSERT_GE(v, last) << "went back";
    last = v;
  }
  writer.join();
}

TEST(Memo, AppendsAndForgetsTheOldestPastItsBound) {
  Memo memo("first", 3);
  memo.Append("a");
  memo.Append("b");
  EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"first", "a", "b"}));
  memo.Append("c");
  EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(memo.TotalAppended(), 4u);
}

TEST(Memo, CursorReadsEachLineOnce) {
  Memo memo("first", 3);
  uint64_t cursor = 0;
  EXPECT_EQ(memo.LinesSince(cursor), std::vector<std::string>{"first"});
  EXPECT_EQ(cursor, 1u);
  EXPECT_TRUE(memo.LinesSince(cursor).empty());
  for (const char* l : {"a", "b", "c", "d", "e"}) memo.Append(l);
  // Lines forgotten before the reader came back are skipped, not invented.
  EXPECT_EQ(memo.LinesSince(cursor), (std::vector<std::string>{"c", "d", "e"}));
  EXPECT_EQ(cursor, 6u);

  uint64_t bogus = 1000;  // a cursor from the future reads nothing and is brought back
  EXPECT_TRUE(memo.LinesSince(bogus).empty());
  EXPECT_EQ(bogus, 6u);
}

TEST(Gauge, ShowsItsProgressClampedToItsRange) {
  Gauge gauge(120, 0);
  gauge.SetProgress(-5);
  EXPECT_EQ(gauge.Shown(), 0);
  EXPECT_EQ(gauge.Progress(), -5);
  gauge.SetProgress(500);
  EXPECT_EQ(gauge.Shown(), 120);
}

}  // namespace
}  // namespace tandem
