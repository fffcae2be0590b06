#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

void SetHeader(Program& p);
std::string GetNextRecord(Program& p);
int16_t TransmitFile(Program& p);

int16_t TransmitYModem(Program& p);

}  // namespace telvaro3
