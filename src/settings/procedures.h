#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

void SetDefaults(Program& p);
int16_t CheckCommand(Program& p);
int16_t SetIrdaDelay(Program& p, const std::string& text);

int16_t CheckFileArg(Program& p, const std::string& token);
int16_t CheckValid(Program& p, const std::string& text, int16_t pathMode);
int16_t CheckFilename(Program& p);
int32_t FreeSpace(Program& p, const std::string& root);

int16_t SetFields(Program& p, std::string list);
// Counts the records of the file to send into RecordCount: 0, 3 (more than 32767 without
// YModem) or the code of OpenFile. Holds what it read as the program's sendSnapshot.
int16_t Test_File(Program& p);
// Test_File's work without its procedure name, for a send that must read the file again: opens
// it as file number 1, reads it once and closes it. Without YModem it stops at the 32768th line
// (code 3) and holds what a record can use of every line in sendSnapshot, which it drops first.
int16_t ReadFileToSend(Program& p);
int16_t CheckFieldFile(Program& p);
// Writes the field file of the received file into slot 3 and leaves it there, uncommitted, for
// the caller to put in place together with the records. Returns 0 or the code of the fault
// (opening or writing), with the platform error kept for the report.
int16_t WriteFieldFile(Program& p);

std::string PackDigits(const std::string& digits);

}  // namespace telvaro3
