#pragma once

#include <cstdint>

#include "base/program.h"

// Receiving one file from the terminal, by the block protocol or by YModem.

namespace telvaro3 {

// The whole block-protocol reception into Directory: link, heading, one record a text block,
// close. The file (and its field file) replace what was there only when the link closed normally
// with every record stored; otherwise the PC's files stay as they were. Returns kOk or the run's
// result; leaves TransferPhase at kPhaseDone or kPhaseStopped and the window showing the count.
int16_t ReceiveFile(Program& p);
// Waits for one heading block and judges it: a BlockReceipt (kBlockGood once the file is made,
// kBlockBad, kBlockMissing, kBlockCancelled, kBlockEnq), a result code that refuses the heading
// (kErrIllegalHeading, kErrPathNotFound, kErrDiskFull, kErrHeaderName), or the port's fault.
// Fills Name, ProgramFile, RecordCount, FieldCount, FieldLengths, RecordLength and BlockLength.
int16_t ReceiveHeader(Program& p);
// Waits for one text block and judges it: a BlockReceipt (kBlockGood with the record in
// RecordBuffer, kBlockBad, kBlockMissing, kBlockCancelled, kBlockRepeat) or the port's fault.
int16_t ReceiveData(Program& p);
// Adds RecordBuffer to the received file as a line: kRecordWritten, kRecordCancelled, or the
// code of the failed write with the platform error kept in RunErrNumber.
int16_t WriteRecord(Program& p);
// A YModem reception into Directory (or the current directory): kOk or the run's result. A name
// the program refuses is cancelled before any of its data is acknowledged.
int16_t ReceiveYModem(Program& p);

}  // namespace telvaro3
