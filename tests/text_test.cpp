// Number reading, rounding and character conversion.

#include "base/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace telvaro3 {
namespace {

TEST(Val, ReadsTheLeadingNumber) {
  const std::vector<std::pair<const char*, double>> cases = {
      {"", 0},         {"abc", 0},     {" 1 2 ", 12},           {"\t1\n5", 15},
      {"-.25", -0.25}, {"1E+2x", 100}, {"2e-1", 0.2},           {"1,5", 1},
      {"--5", 0},      {"1e", 1},      {"1e99999", 1e308 * 10}, {"1e-99999", 0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(Val(text), value) << text;
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  const std::vector<std::pair<double, int64_t>> cases = {{2.5, 2},
                                                         {3.5, 4},
                                                         {-2.5, -2},
                                                         {0.5, 0},
                                                         {2.51, 3},
                                                         {99.5, 100},
                                                         {1e300, 9200000000000000000LL}};
  for (const auto& [v, r] : cases) EXPECT_EQ(RoundHalfEven(v), r) << v;
}

TEST(Latin1, UpperCaseAndConversion) {
  EXPECT_EQ(UpperLatin1("abz\xE9\xF7\xFF\xA3"), "ABZ\xC9\xF7\xFF\xA3");
  EXPECT_EQ(Utf8ToLatin1("\xC2\xA3\xE2\x82\xAC\xF0\x9F\x98\x80x"), "\xA3??x");  // not Latin-1
  EXPECT_EQ(Utf8ToLatin1("\xA3\xC3"), "\xA3\xC3");  // stray bytes stay as they are
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(all)), all);
}

}  // namespace
}  // namespace telvaro3
