// SPDX-License-Identifier: GPL-2.0-or-later
// Edge rules of the text operations, one table per operation.
#include "text/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(TextTest, LeftAndRightPartClampTheirCount) {
  struct Case { const char* s; int n; const char* left; const char* right; };
  const std::vector<Case> cases = {
      {"abc", 0, "", ""},       {"abc", -1, "", ""},     {"abc", 9, "abc", "abc"},
      {"", 4, "", ""},          {"abc", 2, "ab", "bc"},  {"abc", 3, "abc", "abc"},
      {"abc", -5, "", ""},      {"a", 0, "", ""},        {"", -1, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LeftPart(c.s, c.n), c.left) << c.s << " " << c.n;
    EXPECT_EQ(RightPart(c.s, c.n), c.right) << c.s << " " << c.n;
  }
}

TEST(TextTest, FieldAtCountsEmptyFieldsBetweenAdjacentSeparators) {
  struct Case { const char* s; int n; std::string sep; const char* field; };
  const std::vector<Case> cases = {
      {"a>b", 2, ">", "b"},   {"a>b", 3, ">", ""},    {"a>>b", 2, ">", ""},
      {"a>>b", 3, ">", "b"},  {">a", 1, ">", ""},     {"a>", 2, ">", ""},
      {"abc", 1, ">", "abc"}, {"abc", 0, ">", "abc"}, {"a>b", -3, ">", "a"},
      {"a<b>c", 2, ">x", "c"}, {"a>b", 1, "", "a>b"}, {"a>b", 2, "", ""},
      {"", 1, ">", ""},       {"", 5, ">", ""},       {"a'b'c'd'e", 4, "'", "d"},
      {"x\"y", 2, "\"", "y"}, {">>>", 4, ">", ""},    {">>>", 5, ">", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FieldAt(c.s, c.n, c.sep), c.field) << c.s << " " << c.n << " " << c.sep;
  }
}

TEST(TextTest, RemoveAllMakesOneLeftToRightPass) {
  struct Case { const char* s; const char* p; const char* out; };
  const std::vector<Case> cases = {
      {"x</a</a", "</a", "x"}, {"aabb", "ab", "ab"}, {"AB", "ab", "AB"}, {"ab", "abc", "ab"},
      {"", "ab", ""},          {"abc", "", ""},      {"300K</a", "K</a", "300"},
      {"300k</a", "K</a", "300k</a"}, {"ababab", "ab", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(RemoveAll(c.s, c.p), c.out) << c.s << " " << c.p;
}

TEST(TextTest, CountOccurrencesDoesNotOverlap) {
  struct Case { const char* s; const char* p; int count; };
  const std::vector<Case> cases = {
      {"aaaa", "aa", 2}, {"aaa", "aa", 1}, {"abab", "bab", 1}, {"ab", "abc", 0},
      {"Church", "church", 0}, {"abc", "", 0}, {"", "a", 0}, {"xab", "ab", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(CountOccurrences(c.s, c.p), c.count) << c.s << " " << c.p;
}

TEST(TextTest, TrimSpacesRemovesOnlySpaceBytes) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(TrimSpaces(""), "");
  EXPECT_EQ(TrimSpaces("\ta "), "\ta");
  EXPECT_EQ(TrimSpaces(Bytes({160, 'a', 13})), Bytes({160, 'a', 13}));
}

TEST(TextTest, CaseChangesUseFixedByteRanges) {
  EXPECT_EQ(ToLowerCase(Bytes({65, 192, 215, 222, 223, 255})), Bytes({97, 224, 247, 254, 223, 255}));
  EXPECT_EQ(ToUpperCase(Bytes({97, 224, 247, 254, 223, 255})), Bytes({65, 192, 215, 222, 223, 223}));
  for (int b = 0; b < 256; ++b) {
    std::string s = Bytes({b});
    int lower = (b >= 65 && b <= 90) || (b >= 192 && b <= 222) ? b + 32 : b;
    int upper = (b >= 97 && b <= 122) || b >= 224 ? b - 32 : b;
    EXPECT_EQ(ToLowerCase(s), Bytes({lower})) << b;
    EXPECT_EQ(ToUpperCase(s), Bytes({upper})) << b;
  }
}

TEST(TextTest, TextEqualsAndStartsWithCompareExactBytes) {
  EXPECT_TRUE(TextEquals("", std::string()));
  EXPECT_FALSE(TextEquals("usa", "USA"));
  EXPECT_FALSE(TextEquals(LeftPart("ab", 3), "abc"));
  EXPECT_TRUE(StartsWith("<a class=\"rb\"", "<a class=\"rb\""));
  EXPECT_FALSE(StartsWith("<a class=\"rb", "<a class=\"rb\""));
  EXPECT_FALSE(StartsWith(" <a", "<a"));
  EXPECT_TRUE(StartsWith("anything", ""));
}

TEST(TextTest, NumberToTextAndBack) {
  EXPECT_EQ(NumberToText(0), "0");
  EXPECT_EQ(NumberToText(-7), "-7");
  EXPECT_EQ(NumberToText(1206), "1206");
  EXPECT_EQ(NumberToText(INT32_MIN), "-2147483648");
  EXPECT_EQ(NumberToText(INT32_MAX), "2147483647");

  struct Case { std::string s; int32_t v; };
  const std::vector<Case> cases = {
      {" \t-12x", -12}, {"+5", 5}, {"- 5", 0}, {"+-5", 0}, {"0x1F", 0}, {"", 0},
      {"4294967297", 1}, {"2147483648", INT32_MIN}, {"-2147483648", INT32_MIN},
      {"12\t34", 12}, {"abc", 0}, {"99999999999999999999", 1661992959}, {"007", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(TextToNumber(c.s), c.v) << c.s;
}

TEST(TextTest, ByteConversionsKeepEveryByte) {
  EXPECT_EQ(CharToText(0), "");
  EXPECT_EQ(CharToText(256), "");
  EXPECT_EQ(CharToText(-23), Bytes({233}));
  EXPECT_EQ(CharToText(233), Bytes({233}));
  EXPECT_EQ(CharToText(321), "A");
  EXPECT_EQ(SpaceText(3), "   ");
  EXPECT_EQ(SpaceText(0), "");
  EXPECT_EQ(SpaceText(-2), "");
  EXPECT_EQ(ByteAt(Bytes({10, 233, 127}), 0), 10);
  EXPECT_EQ(ByteAt(Bytes({10, 233, 127}), 1), -23);
  EXPECT_EQ(ByteAt(Bytes({10, 233, 127}), 2), 127);

  const char block[] = {'a', 'b', 0, 'c', 'd'};
  EXPECT_EQ(TextFromBytes(block, 5), "ab");
  EXPECT_EQ(TextFromBytes(block, 1), "a");
  EXPECT_EQ(TextFromBytes(block, -1), "");
  EXPECT_EQ(TextFromBytes(nullptr, 5), "");
  const char unterminated[] = {'x', 'y'};
  EXPECT_EQ(TextFromBytes(unterminated, 2), "xy");

  char store[32];
  EXPECT_EQ(StoreText(store, "Courier New"), 11);
  EXPECT_STREQ(store, "Courier New");
}

TEST(TextTest, ConcatJoinsTextsAndLiterals) {
  std::string empty;
  EXPECT_EQ(Concat("a", std::string("bc"), empty, "d"), "abcd");
  EXPECT_EQ(Concat(empty), "");
}

}  // namespace
