#pragma once

#include "base/program.h"

namespace telvaro3 {

// Waiting helpers shared by every wait loop: process window events once, and block briefly
// until port input or a window event instead of spinning.
void Yield(Program& p);
void IdleForInput(Program& p, double deadline);
// Discards whatever input the port holds.
void FlushInput(Program& p);

}  // namespace telvaro3
