#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace telvaro3 {

// Option values of a run, with their defaults (SetDefaults).
struct RunSettings {
  int16_t Port = 1;
  std::string BaudRate = "19200";
  std::string DataBits = "8";
  std::string StopBits = "1";
  std::string Parity = "N";
  bool BlockCheck = true;
  bool SerialNumbers = true;
  bool ExitOnSuccess = false;
  bool ShutDownAtEnd = false;
  bool IrDA = false;
  bool NoWait = false;
  bool AppendOutput = false;
  int16_t TimeoutCount = 10;
  bool Compact = false;     // only ever set true
  bool Continuous = false;  // only ever set true
  bool YModem = false;      // only ever set true
  int32_t SendDelayMs = 5;
};

// The file being transferred: from the command line when sending, from the heading when receiving.
struct TransferFile {
  std::string Directory;
  std::string Name;
  std::string FieldFileName;
  bool SendMode = false;
  bool ProgramFile = false;
  int16_t FieldCount = 0;
  std::array<std::string, 17> FieldLengths;  // index 1..16; 0 unused
  int16_t RecordLength = 0;
  int32_t RecordCount = 0;
};

}  // namespace telvaro3
