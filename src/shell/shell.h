#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

// The run sequence: start-up, the rounds of transfer, the result report.

// Start-up: the main window's load event, then the whole run. Returns when the program ends.
void Form_Load(Program& p);
// The whole run: reads the command line, sets up and opens the port, runs the transfer (again
// and again in continuous mode), reports the result and shuts down. Leaves the result in
// ErrorCode; an unexpected fault is shown in a message box and never escapes.
void RunTransfer(Program& p);
// Opens the port: kOk, kErrPortNotAvailable (not there, or it did not open) or kErrPortError.
int16_t OpenPort(Program& p);

// Shows the result of ErrorCode in the window (ResultMessage, StatusBox, MsgLabel, the button's
// caption) and waits for the button unless the settings say not to.
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
