#pragma once

#include <cstdint>
#include <string>

#include "shell/program.h"

namespace telvaro3 {

// Start-up: the main window's load event, then the whole run. Returns when the program ends.
void Form_Load(Program& p);
void RunTransfer(Program& p);
int16_t OpenPort(Program& p);
void FlushInput(Program& p);

void ReportResult(Program& p);
// The result line for an error code, as ReportResult shows it.
std::string ErrorMessage(const Program& p, int16_t code);
int16_t MapRunTimeError(int16_t number);

// Waiting helpers shared by every wait loop: process window events once, and block briefly
// until port input or a window event instead of spinning.
void Yield(Program& p);
// `want`: the characters that must be waiting before input ends the wait (a block's length);
// 0 for any new input.
void IdleForInput(Program& p, double deadline, int32_t want = 0);

}  // namespace telvaro3
