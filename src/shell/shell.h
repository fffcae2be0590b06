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

// A round of the run: BeginRound when the transfer procedure starts; EndRound when the round has
// its result (ErrorCode), which tells the service manager of it when it is worth telling.
// unexpected: the message of an unexpected error that ended the round, else empty.
void BeginRound(Program& p);
void EndRound(Program& p, double roundStart, const std::string& unexpected = "");

// The exit status that carries a result (--exit-status): the code itself from 1 to 255, 0 for
// success (0 and below), and 255 for every code above 255 (the port events 1000 to 1010).
int ExitStatus(int16_t result);

}  // namespace telvaro3
