#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/program.h"

// The block protocol's primitives: check characters, a send that lasts until the data are on the
// line, the wait for the terminal's one-character answer, and the numbered file slots.

namespace telvaro3 {

// Answers of WaitAnswerBHT.
enum Answer : int16_t {
  kAnswerTimeout = -1,
  kAnswerAck = 0,
  kAnswerNak = 1,
  kAnswerEnq = 2,
  kAnswerCancel = 3,
  kAnswerEot = 4,
};

// Codes above this, from a send or an answer wait, are port faults: the transfer ends with them.
inline constexpr int16_t kPortFaultAbove = kEventErrorFirst;

// The block check character of text (everything after SOH or STX up to and including ETX), as a
// one-character string.
std::string AddBcc(Program& p, std::string_view text);
// The check character that a received block (without its SOH or STX, ending with the received
// check) should end with: the exclusive-or of all its characters but the last.
std::string BccCheck(Program& p, std::string_view block);
// 0 once data has left the port (or the send was given up), else the port's error event.
int16_t SendToBHT(Program& p, const std::string& data);
// An Answer, or the port's fault (above kPortFaultAbove) when the device has gone; a gone device
// ends the wait at once.
int16_t WaitAnswerBHT(Program& p);

// Opens directory + name in slot fileNumber; mode "I" reads, any other writes (or appends with
// +APP). Returns 0 or the mapped error code. What is written reaches the file only through
// CommitFile: until then the file on disk keeps what it held.
int16_t OpenFile(Program& p, const std::string& directory, const std::string& name,
                 int16_t fileNumber, const std::string& mode);
// Closes a slot if it is open, abandoning what was written to it and not committed; never
// throws.
void CloseFile(Program& p, int16_t fileNumber);
// Makes what was written to the slots final and durable, all of them or none, and closes them.
// Returns 0, or the mapped error code with the platform error kept for the report; the files
// are then as they were.
int16_t CommitFiles(Program& p, std::initializer_list<int16_t> fileNumbers);
inline int16_t CommitFile(Program& p, int16_t fileNumber) {
  return CommitFiles(p, {fileNumber});
}

}  // namespace telvaro3
