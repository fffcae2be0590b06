#pragma once

#include "base/program.h"

namespace telvaro3 {

// Waiting helpers shared by every wait loop: process window events once, and block briefly
// until port input or a window event instead of spinning.
void Yield(Program& p);
// `want`: the characters that must be waiting before input ends the wait (a block's length);
// 0 for any new input.
void IdleForInput(Program& p, double deadline, int32_t want = 0);
// Discards whatever input the port holds.
void FlushInput(Program& p);

}  // namespace telvaro3
