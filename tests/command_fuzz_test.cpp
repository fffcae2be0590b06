// Random and mutated command lines never crash, hang or read out of bounds (run it under the
// sanitizers too).

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

TEST(CheckCommandFuzz, AnyBytesGiveAKnownCode) {
  const std::vector<std::string> seeds = {
      "+P0 +F10,5 DATA.TXT",
      "+B9600 +XYZ +B300",
      "+IRD20 +IR +YMOD MENU.PD4",
      "C:\\DATA\\",
      "+F99,99,54 +RXON +T0 A:",
      "+F1;2;3 -PB -SN \xA3"
      "DATA.TXT",
      "+CMP +APP +DDE +EX OUT\\",
  };
  const std::set<int16_t> allowed = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 70, 71, 99};
  std::mt19937 rng(20261206);
  test::TestRig r;
  r.WriteFile("DATA.TXT", "1\r\n2\r\n");
  r.WriteFile("DATA.FLD", "FILE DATA.TXT\r\nFIELDS 3\r\n");
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const std::string alphabet = " +-FPBIRDTXYMOD0123456789,;.:\\\xA3\t\r\nAZ";
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    switch (i % 4) {
      case 0: {  // any bytes
        size_t n = pick(i % 97 == 0 ? 100000 : 200);
        for (size_t k = 0; k < n; ++k) line.push_back(static_cast<char>(pick(256)));
        break;
      }
      case 1: {  // option-like alphabet
        size_t n = pick(120);
        for (size_t k = 0; k < n; ++k) line.push_back(alphabet[pick(alphabet.size())]);
        break;
      }
      default: {  // mutations of good lines
        line = seeds[pick(seeds.size())];
        for (int m = 0, n = static_cast<int>(pick(6)); m < n; ++m) {
          size_t at = pick(line.size() + 1);
          switch (pick(3)) {
            case 0:
              line.insert(at, 1, static_cast<char>(pick(256)));
              break;
            case 1:
              if (at < line.size()) line.erase(at, 1);
              break;
            default:
              if (at < line.size()) line[at] = alphabet[pick(alphabet.size())];
          }
        }
      }
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
