// Number reading, rounding, number texts and character conversion.

#include "shell/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace telvaro3 {
namespace {

TEST(Val, ReadsTheLeadingNumber) {
  struct Case {
    const char* text;
    double value;
  };
  const std::vector<Case> cases = {
      {"", 0},         {"abc", 0},     {"12", 12},    {" 1 2 ", 12},   {"\t1\n5", 15},
      {"-7", -7},      {"+7", 7},      {"5.5", 5.5},  {".5", 0.5},     {"5.", 5},
      {"1e3", 1000},   {"1E+2x", 100}, {"2e-1", 0.2}, {"12abc", 12},   {"1,5", 1},
      {"--5", 0},      {"1e", 1},      {"00017", 17}, {"-.25", -0.25}, {"1e99999", 1e308 * 10},
      {"1e-99999", 0}, {"99.5", 99.5},
  };
  for (const auto& c : cases) EXPECT_EQ(Val(c.text), c.value) << c.text;
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  struct Case {
    double v;
    int64_t r;
  };
  const std::vector<Case> cases = {{2.5, 2},
                                   {3.5, 4},
                                   {-2.5, -2},
                                   {0.5, 0},
                                   {1.5, 2},
                                   {2.49, 2},
                                   {2.51, 3},
                                   {12.5, 12},
                                   {37.5, 38},
                                   {99.5, 100},
                                   {1e300, 9200000000000000000LL}};
  for (const auto& c : cases) EXPECT_EQ(RoundHalfEven(c.v), c.r) << c.v;
}

TEST(NumberTexts, Forms) {
  EXPECT_EQ(Str(5), " 5");
  EXPECT_EQ(Str(0), " 0");
  EXPECT_EQ(Str(-3), "-3");
  EXPECT_EQ(FiveDigits(12), "00012");
  EXPECT_EQ(FiveDigits(123456), "23456");
  EXPECT_EQ(PercentText(33), " 33%");
  EXPECT_EQ(PercentText(100), " 100%");
}

TEST(Latin1, UpperCaseAndConversion) {
  EXPECT_EQ(UpperLatin1("abz\xE9\xF7\xFF\xA3"), "ABZ\xC9\xF7\xFF\xA3");
  EXPECT_EQ(Utf8ToLatin1("\xC2\xA3"
                         "a\xC3\xA9"),
            "\xA3"
            "a\xE9");
  EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC"), "?");        // the euro sign is not Latin-1
  EXPECT_EQ(Utf8ToLatin1("\xF0\x9F\x98\x80x"), "?x");  // nor is an emoji
  EXPECT_EQ(Utf8ToLatin1("\xA3\xC3"), "\xA3\xC3");     // stray bytes stay as they are
  EXPECT_EQ(Latin1ToUtf8("\xA3"
                         "A"),
            "\xC2\xA3"
            "A");
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(all)), all);
}

}  // namespace
}  // namespace telvaro3
