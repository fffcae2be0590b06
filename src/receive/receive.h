#pragma once

#include <cstdint>

#include "base/program.h"

namespace telvaro3 {

int16_t ReceiveFile(Program& p);
int16_t ReceiveHeader(Program& p);
int16_t ReceiveData(Program& p);
int16_t WriteRecord(Program& p);
int16_t ReceiveYModem(Program& p);

}  // namespace telvaro3
