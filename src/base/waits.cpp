#include "base/waits.h"

namespace telvaro3 {
namespace {

// A wait on the port looks at the window at least this often, so a click or a key is handled
// within it; input ends the wait at once. A silent line may be waited on for minutes, and every
// look costs a wake-up.
constexpr int kPortIdleCapMs = 40;

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
  while (p.comm.InputCount() >= 1) p.comm.InputData();
}

}  // namespace telvaro3
