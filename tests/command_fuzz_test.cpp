// Random and mutated command lines never crash, hang or read out of bounds (run it under the
// sanitizers too).

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

TEST(CheckCommandFuzz, AnyBytesGiveAKnownCode) {
  const std::string seeds[] = {"+P0 +F10,5 DATA.TXT",          "+IRD20 +IR +YMOD MENU.PD4 +B9600",
                               "+F99,99,54 +RXON +T0 A:",      "+F1;2;3 -PB -SN \243DATA.TXT",
                               "+CMP +APP +DDE +EX C:\\OUT\\", ""};
  const std::set<int16_t> allowed = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 70, 71, 99};
  const std::string alphabet = " +-FPBIRDTXYMOD0123456789,;.:\\\243\t\r\nAZ";
  std::mt19937 rng(20261206);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  test::TestRig r;
  r.WriteFile("DATA.TXT", "1\r\n2\r\n");
  r.WriteFile("DATA.FLD", "FILE DATA.TXT\r\nFIELDS 3\r\n");
  for (int i = 0; i < 20000; ++i) {
    // Insert, replace or delete characters of a good line (or of nothing); half of the new
    // characters are any byte, half option-like. Now and then the line is very long.
    std::string line = seeds[pick(std::size(seeds))];
    for (int k = i % 97 ? 0 : 100000; k > 0; --k) line.push_back(static_cast<char>(pick(256)));
    for (size_t m = pick(40); m > 0; --m) {
      const size_t at = pick(line.size() + 1);
      const char c = i % 2 ? static_cast<char>(pick(256)) : alphabet[pick(alphabet.size())];
      if (at == line.size() || pick(3) == 0)
        line.insert(at, 1, c);
      else if (pick(2) == 0)
        line[at] = c;
      else
        line.erase(at, 1);
    }
    r.system.commandLine = line;
    SetDefaults(r.p);
    const int16_t code = CheckCommand(r.p);
    ASSERT_TRUE(allowed.count(code)) << "code " << code;
    for (int n = 1; n <= 3; ++n) ASSERT_FALSE(r.p.files[n]) << "file slot left open";
  }
}

}  // namespace
}  // namespace telvaro3
