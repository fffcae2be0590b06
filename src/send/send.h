#pragma once

#include <cstdint>
#include <string>

#include "shell/program.h"

namespace telvaro3 {

void SetHeader(Program& p);
std::string GetNextRecord(Program& p);
int16_t TransmitFile(Program& p);

int16_t TransmitYModem(Program& p);
void Form1_YModemTimer_Timer(Program& p);

// Shared by both YModem directions: let window events run without spinning, break off the
// component's transfer and wait until it has stopped, and a byte count in kilobytes as the
// window shows it (" 00003").
void PumpYModem(Program& p);
void CancelYModem(Program& p);
std::string KiloText(int64_t bytes);

}  // namespace telvaro3
