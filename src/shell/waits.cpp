#include "shell/shell.h"

namespace telvaro3 {

void Yield(Program& p) {
  p.window.DoEvents();
}

void IdleForInput(Program& p, double deadline, int32_t want) {
  // Block on the port until input comes, the deadline is near, or the idle cap has passed, so
  // that a long wait costs next to no processor time while input is still seen at once.
  double left = deadline - p.system.Now();
  int ms = kIdleWaitMs;
  if (left * 1000.0 < ms) ms = left <= 0 ? 0 : static_cast<int>(left * 1000.0) + 1;
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
