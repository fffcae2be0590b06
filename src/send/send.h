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

}  // namespace telvaro3
