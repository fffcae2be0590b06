#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvaro3 {

// Block-protocol phases shared by both directions and read by the result report.
enum Phase : int16_t {
  kPhaseLink = 1,
  kPhaseHeading = 2,
  kPhaseText = 3,
  kPhaseClosing = 4,
  kPhaseDone = 5,
  kPhaseStopped = 6,
};

// Run-time variables shared by the procedures of one program. Every field starts as zero,
// false or empty; SetDefaults fills the control characters.
struct RunState {
  // Control characters of the block protocol, one-character strings.
  std::string NUL, SOH, STX, ETX, EOT, ENQ, ACK, NAK;

  bool AbortFlag = false;
  int16_t ErrorCode = 0;
  // The procedure running, for the message of an unexpected error; set on every entry to a
  // procedure, so it names it without a copy.
  std::string_view ProcName;
  std::string ResultMessage;
  int16_t LastResult = 0;
  std::string LastAnswer;
  double WaitStart = 0.0;
  int16_t TimeoutCounter = 0;
  int16_t TransferPhase = 0;
  int32_t RecordNumber = 0;  // holds 1 to 32768
  std::string RecordSerial;
  // The record in hand: the line read to be sent, or the record received. Kept from one record
  // to the next, so that its storage serves them all.
  std::string RecordBuffer;
  int16_t RunErrNumber = 0;
  int16_t RunErrLine = 0;
  std::string SettingsString;

  // Sending side.
  std::string HeadingBlock;
  int16_t NakCounter = 0;

  // Receiving side.
  std::string ReceiveBuffer;
  int16_t BlockLength = 0;
  int16_t ReceiveNakCounter = 0;
  bool FileCreated = false;
  // The platform's error number of the last free-space query that failed, for its question.
  int16_t FreeSpaceError = 0;

  // Telling a service manager about the rounds (see base/service.h).
  bool RoundLive = false;      // a transfer procedure is running
  bool LinkMade = false;       // its link with the terminal has been made
  bool StartTold = false;      // its start has been told
  double TransferSince = 0.0;  // when the round's transfer started (its link was made)
  // The result of the last round told that never made a link (0: none since the last transfer),
  // so that a port that stays missing is told once, not every second.
  int16_t LastIdleResult = 0;
};

}  // namespace telvaro3
