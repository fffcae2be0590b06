// Steps that the phases of a block-protocol reception share: answers to the terminal, the
// counters of time-outs and NAKs, and the closing wait.
#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

// The tenth NAK since the last good block ends the data.
inline constexpr int16_t kReceiveNakLimit = 10;

// The answer wait ran out once more: true when that reaches the time-out limit.
bool TimeoutLimitReached(Program& p);
// One NAK more: true when that reaches the limit.
bool NakLimitReached(Program& p);
// A good block, the link or the heading: counting starts afresh.
void ResetCounters(Program& p);

// A send or a wait that reports a port fault (the device has gone) stops the transfer with it:
// sets result and the phase kPhaseStopped, and returns true.
bool PortFailed(Program& p, int16_t code, int16_t& result);
// Sends an answer; false when a port fault stopped the transfer (see PortFailed).
bool SendAnswer(Program& p, const std::string& what, int16_t& result);

// Answer of the closing wait besides those of WaitAnswerBHT: a repeated last block was answered.
inline constexpr int16_t kAnswerRepeat = 5;
// The closing wait: the answers of WaitAnswerBHT, and besides them kAnswerRepeat for a text block
// that repeats the last record (answered with ACK, not stored again), or the port's fault.
int16_t WaitClosingAnswer(Program& p, int16_t& result);

// Judges what arrived for one text block: kBlockGood with the record in `record`, kBlockBad,
// kBlockMissing or kBlockRepeat. Characters beyond a block are flushed from the port.
int16_t JudgeTextBlock(Program& p, const std::string& received, std::string& record);

}  // namespace telvaro3
