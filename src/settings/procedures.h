#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

// The job as the command line describes it: run settings, the file to transfer, its fields.
// Every procedure that returns int16_t returns kOk or the ResultCode of the first fault.

namespace telvaro3 {

// The defaults of the settings and the file description, the version text and the control
// characters of the run state.
void SetDefaults(Program& p);
// Reads the whole command line into settings and file; for a file to send also counts its
// records and reads its field file. kErrOptionMismatch for an unknown option, or the code of the
// first check that fails.
int16_t CheckCommand(Program& p);
// The send delay of "+IRD<ms>": sets SendDelayMs to the number, held within 0 to 60000; always
// kOk.
int16_t SetIrdaDelay(Program& p, const std::string& text);

// The file argument: sets Directory and Name (a directory alone leaves Name empty and the
// direction receiving; a file sets SendMode). kOk or kErrFileNameFormat.
int16_t CheckFileArg(Program& p, const std::string& token);
// kOk when every character of text is allowed in a name (pathMode 1: in a path as well), else
// kErrFileNameFormat. Changes nothing.
int16_t CheckValid(Program& p, const std::string& text, int16_t pathMode);
// Judges Name (8.3, allowed characters) and derives FieldFileName, or for a program file sets
// ProgramFile, RecordLength and possibly YModem. kOk or kErrFileNameFormat.
int16_t CheckFilename(Program& p);
// Free bytes on the drive of root, or -1 when they cannot be told (FreeSpaceError says why).
int32_t FreeSpace(Program& p, const std::string& root);

// A field list "+F10,5": sets FieldCount, FieldLengths and RecordLength. kOk, kErrFieldLength,
// kErrFieldCount, kErrRecordLength or kErrOptionMismatch.
int16_t SetFields(Program& p, std::string list);
// Counts the records of the file to send into RecordCount: 0, 3 (more than 32767 without
// YModem) or the code of OpenFile. Holds what it read as the program's sendSnapshot.
int16_t Test_File(Program& p);
// Test_File's work without its procedure name, for a send that must read the file again: opens
// it as file number 1, reads it once and closes it. Without YModem it stops at the 32768th line
// (code 3) and holds what a record can use of every line in sendSnapshot, which it drops first.
int16_t ReadFileToSend(Program& p);
// Reads the field file beside the file to send into the fields, as SetFields does; kOk,
// kErrFieldLengthNotFound when it has no field list, or the code of opening or of SetFields.
int16_t CheckFieldFile(Program& p);
// Writes the field file of the received file into slot 3 and leaves it there, uncommitted, for
// the caller to put in place together with the records. Returns 0 or the code of the fault
// (opening or writing), with the platform error kept for the report.
int16_t WriteFieldFile(Program& p);

// Two decimal digits a character (100 + their value), for compacted records; an odd count gets a
// leading zero, and a text with anything but digits gives "ERROR".
std::string PackDigits(const std::string& digits);

}  // namespace telvaro3
