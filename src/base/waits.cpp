#include "base/waits.h"

#include "base/text.h"

namespace telvaro3 {
namespace {

// A wait on the port looks at the window at least this often, so a click or a key is handled
// within it; input ends the wait at once. A silent line may be waited on for minutes, and every
// look costs a wake-up.
constexpr int kPortIdleCapMs = 40;
// What FlushInput discards at most in one call: far more than any block, far less than a line
// that never stops can send.
constexpr size_t kFlushLimitBytes = 65536;
constexpr double kBitsPerCharacter = 12.0;
constexpr double kSlowestBaud = 300.0;

}  // namespace

void Yield(Program& p) {
  ServiceHeartbeat(p);
  p.window.DoEvents();
}

void IdleForInput(Program& p, double deadline, int32_t want) {
  // Block on the port until input comes, the deadline is near, or the idle cap has passed, so
  // that a long wait costs next to no processor time while input is still seen at once.
  double left = deadline - p.system.Now();
  int ms = kPortIdleCapMs;
  if (left * 1000.0 < ms) ms = left <= 0 ? 0 : static_cast<int>(left * 1000.0) + 1;
  ServiceHeartbeat(p);
  if (ms <= 0) return;
  if (want > 0) {
    p.comm.WaitInputFor(want, ms);
  } else {
    p.comm.WaitInput(ms);
  }
}

void FlushInput(Program& p) {
  size_t dropped = 0;
  while (dropped < kFlushLimitBytes && p.comm.InputCount() >= 1) {
    const size_t n = p.comm.InputData().size();
    if (n == 0) break;
    dropped += n;
  }
}

double LineSeconds(const Program& p, size_t characters) {
  // Asked before every write and every block wait: the usual plain digits are read here without
  // the general number rules and their copies.
  const std::string& rate = p.settings.BaudRate;
  double baud = 0;
  bool plain = !rate.empty() && rate.size() <= 9;
  for (const char c : rate) {
    plain = plain && c >= '0' && c <= '9';
    baud = baud * 10 + (c - '0');
  }
  if (!plain) baud = Val(rate);
  return static_cast<double>(characters) * kBitsPerCharacter /
         (baud >= kSlowestBaud ? baud : kSlowestBaud);
}

}  // namespace telvaro3
