#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

// Sending one PC file to the terminal, by the block protocol or by YModem.

namespace telvaro3 {

// Builds the heading block of the file (name, record count, fields) into HeadingBlock.
void SetHeader(Program& p);
// Reads the next line of file slot 1 and returns its text block; sets RecordSerial. The line is
// cut or padded to RecordLength (and compacted with +CMP).
std::string GetNextRecord(Program& p);
// The whole block-protocol send: link, heading, one text block a line, close. Returns kOk or
// the run's result; leaves TransferPhase at kPhaseDone or kPhaseStopped. Closes slot 1.
int16_t TransmitFile(Program& p);
// A YModem send of Directory + Name: kOk or the run's result.
int16_t TransmitYModem(Program& p);

}  // namespace telvaro3
