#pragma once

#include <cstddef>

#include "base/program.h"

namespace telvaro3 {

// Waiting helpers shared by every wait loop: process window events once, and block briefly
// until port input or a window event instead of spinning.
void Yield(Program& p);
// `want`: the characters that must be waiting before input ends the wait (a block's length);
// 0 for any new input.
void IdleForInput(Program& p, double deadline, int32_t want = 0);
// Discards whatever input the port holds, up to a bound: a line that never stops talking must
// not keep the program here, away from the window; what still comes is the next wait's to judge.
void FlushInput(Program& p);
// Seconds that `characters` take on the run's line at its baud rate, counted at 12 bits a
// character (the widest framing) and at least 300 baud, so that it is never less than the truth.
double LineSeconds(const Program& p, size_t characters);

}  // namespace telvaro3
