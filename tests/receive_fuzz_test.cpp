// Uploads damaged at random on the line: reception never crashes, ends only with its own codes,
// and leaves either the whole file or none.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "receive/receive.h"
#include "settings/procedures.h"
#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::Frame;

struct Fuzzer {
  std::mt19937 rng{20261206};
  int Below(size_t n) { return static_cast<int>(rng() % n); }
  // Mostly the characters that matter to the framing and the numbers, sometimes anything.
  char Byte() {
    static const std::string kInteresting = "\x01\x02\x03\x05\x06\x15 0123456789.-+eE\t\n";
    return Below(3) == 0 ? kInteresting[Below(kInteresting.size())] : static_cast<char>(Below(256));
  }
  std::string Random(int maxLen) {
    std::string s(Below(maxLen + 1), ' ');
    for (char& c : s) c = Byte();
    return s;
  }
  // A few bytes changed, removed, inserted, or the rest cut off.
  std::string Mutate(std::string s) {
    for (int n = 1 + Below(3); n > 0 && !s.empty(); --n) {
      const size_t at = Below(s.size());
      const int op = Below(4);
      if (op == 0) s[at] = Byte();
      if (op == 1) s.erase(at, 1);
      if (op == 2) s.insert(at, 1, Byte());
      if (op == 3) s.resize(at);
    }
    return s;
  }
  std::string Digits(int v, size_t n) {
    const std::string s = std::to_string(v);
    return std::string(n - s.size(), '0') + s;
  }
};

TEST(ReceiveFuzz, DamagedUploadsLeaveTheWholeFileOrNone) {
  Fuzzer fz;
  int whole = 0;
  for (int i = 0; i < 1500; ++i) {
    test::TestRig r;
    SetDefaults(r.p);
    r.p.settings.TimeoutCount = 3;
    const bool bcc = r.p.settings.BlockCheck = fz.Below(4) != 0;
    const bool serial = r.p.settings.SerialNumbers = fz.Below(4) != 0;
    // A valid upload of three records, or sometimes one whose heading announces any counts.
    const int length = 1 + fz.Below(60);
    std::string heading = "ORDERS.BHT  0000301" + fz.Digits(length, 2);
    if (fz.Below(4) == 0) {
      heading = fz.Digits(fz.Below(40000), 5) + fz.Digits(fz.Below(18), 2);
      for (int f = fz.Below(18); f > 0; --f) heading += fz.Digits(fz.Below(100), 2);
      heading = (fz.Below(2) ? "LIST.BHT    " : "TAKE.PD3    ") + heading;
    }
    std::vector<std::string> script = {Frame('\x01', heading, bcc)};
    std::string file;
    for (int k = 1; k <= 3; ++k) {
      std::string record(length, ' ');
      for (char& c : record) c = static_cast<char>(32 + fz.Below(224));
      file += record + "\r\n";
      script.push_back(Frame('\x02', (serial ? fz.Digits(k, 5) : "") + record, bcc));
    }
    script.push_back(test::EOT);
    // The terminal sends a message again after a NAK. Each sending may be damaged, replaced by
    // noise, split with a pause, or lost.
    size_t next = 0;
    r.comm.onOutput = [&](const std::string& answer) {
      if (answer == test::NAK && next > 0) --next;
      if (next >= script.size()) return;
      std::string m = script[next++];
      const int fate = fz.Below(30);
      if (fate < 4) m = fz.Mutate(m);
      if (fate == 4) m = fz.Random(80);
      if (fate == 5) return;
      const size_t cut = fate == 6 ? fz.Below(m.size() + 1) : m.size();
      if (cut > 0) r.comm.Reply(m.substr(0, cut));
      if (cut < m.size()) r.comm.Reply(m.substr(cut), fz.Below(4) * 0.9);
    };
    r.comm.Reply(test::ENQ);
    const int16_t code = ReceiveFile(r.p);
    ASSERT_TRUE(code == 0 || code == 51 || code == 53 || code == 70 || code == 79) << code;
    if (r.p.state.TransferPhase != kPhaseDone) {
      ASSERT_TRUE(std::filesystem::is_empty(r.dir)) << code;
    } else if (code == 0 && bcc && serial && heading.starts_with("ORDERS.BHT")) {
      // Only with both checks does every damaged or skipped block get caught.
      ASSERT_EQ(r.ReadFile("ORDERS.BHT"), file);
      ++whole;
    }
  }
  EXPECT_GT(whole, 100);  // the undamaged share really gets through
}

}  // namespace
}  // namespace telvaro3
