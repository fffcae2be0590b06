#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

// Watching the serial component's YModem facility, shared by both directions.
//
// Form1_YModemTimer_Timer is the tick of the window's timer: it counts the ticks that pass while
// a transfer waits to start. PumpYModem lets window events run without spinning and, once Cancel
// is pressed, breaks off the component's transfer (CancelYModem) and sets result to 90.
// YModemOver says whether the component's state ends the transfer and sets result for it: a
// code already set stands, else a failure gives failedCode, a stop 55, the end 0. KiloText is a
// byte count in kilobytes as the window shows it (" 00003"). ShowWholeFile puts a file of `size`
// bytes in the window as all done: its kilobytes as the count, 100 on the bar and " 100%".
// FailedCode is the code of a failed transfer: the port's fault when the device has gone (so
// that a lost cradle reads the same in both protocols), else `usual`. StartLost ends a start
// wait on a device that has gone: it lets the facility go and gives the code to return, or 0
// while the device is there or the data already flow.
void Form1_YModemTimer_Timer(Program& p);
void PumpYModem(Program& p, int16_t& result);
void CancelYModem(Program& p);
bool YModemOver(int32_t state, int16_t failedCode, int16_t& result);
int16_t FailedCode(Program& p, int16_t usual);
int16_t StartLost(Program& p, int16_t result);
std::string KiloText(int64_t bytes);
void ShowWholeFile(Program& p, int64_t size);

}  // namespace telvaro3
