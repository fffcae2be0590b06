#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

// Start-up: the main window's load event, then the whole run. Returns when the program ends.
void Form_Load(Program& p);
void RunTransfer(Program& p);
int16_t OpenPort(Program& p);

void ReportResult(Program& p);
// The result line for an error code, as ReportResult shows it.
std::string ErrorMessage(const Program& p, int16_t code);

}  // namespace telvaro3
