#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

// Sending one PC file to the terminal, by the block protocol or by YModem.

namespace telvaro3 {

// Builds the heading block of the file (name, record count, fields) into HeadingBlock.
void SetHeader(Program& p);
// Reads the next line of file slot 1 (into RecordBuffer) and builds its text block in `block`;
// sets RecordSerial. The line is cut or padded to RecordLength (and compacted with +CMP). Both
// strings keep their storage from one record to the next.
void GetNextRecord(Program& p, std::string& block);
// The whole block-protocol send: link, heading, one text block a line, close. Returns kOk or
// the run's result; leaves TransferPhase at kPhaseDone or kPhaseStopped. Closes slot 1.
int16_t TransmitFile(Program& p);
// A YModem send of Directory + Name: kOk or the run's result.
int16_t TransmitYModem(Program& p);

}  // namespace telvaro3
