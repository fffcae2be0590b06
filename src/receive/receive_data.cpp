// The text blocks of a block-protocol reception: each collected within its wait and judged by
// its frame, check character and serial number; and the closing wait, which also answers a
// repeat of the last block.

#include <algorithm>

#include "base/text.h"
#include "base/waits.h"
#include "link/block_codec.h"
#include "link/link.h"
#include "receive/block_input.h"
#include "receive/receive.h"
#include "receive/receive_steps.h"

namespace telvaro3 {
namespace {

constexpr double kBlockWaitSeconds = 3.0;

frame::TextBlockLayout Layout(const Program& p) {
  const int16_t length = p.file.RecordLength;
  return {length > 0 ? static_cast<size_t>(length) : 0, p.settings.BlockCheck,
          p.settings.SerialNumbers};
}

// Waits until a whole block of `length` characters is waiting, the wait runs out, Cancel is
// pressed or the device goes: kOk to read what is there, kBlockCancelled, or the port's fault.
int16_t AwaitBlock(Program& p, int32_t length) {
  RunState& s = p.state;
  s.WaitStart = p.system.Now();
  BlockWait wait(p, s.WaitStart, static_cast<size_t>(std::max(length, 0)));
  int32_t waiting = 0;
  for (;;) {
    const int32_t now = p.comm.InputCount();
    if (now >= length) return kOk;
    if (now > waiting) wait.Arrived(p.system.Now());
    waiting = now;
    if (wait.Over(p.system.Now())) return kOk;
    // The rest of the block will not come from a device that has gone.
    if (const int16_t fault = p.comm.PortFault(); fault != 0) return fault;
    Yield(p);
    if (s.AbortFlag) return kBlockCancelled;
    // The wait ends when the whole block is in, not at each of its characters; the bytes that
    // came meanwhile are counted at the next look, at the latest after the idle cap.
    IdleForInput(p, wait.End(), length);
  }
}

// The check character of a block that has one: the received one, or a NUL that the line lost.
bool CheckFits(Program& p, const frame::TextBlockParts& parts) {
  using Shape = frame::TextBlockParts::Shape;
  if (parts.shape == Shape::kWhole)
    return !p.settings.BlockCheck ||
           BccCheck(p, parts.afterStx) == parts.afterStx.substr(parts.afterStx.size() - 1);
  return BccCheck(p, std::string(parts.afterStx) + " ") == std::string(1, '\0');
}

}  // namespace

int16_t ReceiveData(Program& p) {
  RunState& s = p.state;
  s.ProcName = "ReceiveData";
  const frame::TextBlockLayout layout = Layout(p);
  const int32_t length = s.BlockLength;
  s.ReceiveBuffer.clear();
  if (const int16_t waited = AwaitBlock(p, length); waited != kOk) return waited;
  std::string& buf = s.ReceiveBuffer;
  p.comm.TakeInput(buf);
  if (buf.empty()) return kBlockMissing;
  if (buf == s.ENQ) return kBlockBad;
  // Without an ETX where the block's end could be, nothing whole came.
  const size_t etx = buf.find(s.ETX);
  if (etx == std::string::npos || etx + 1 < layout.EtxPosition()) return kBlockMissing;
  return JudgeTextBlock(p, buf, s.RecordBuffer);
}

int16_t JudgeTextBlock(Program& p, const std::string& received, std::string& record) {
  using Shape = frame::TextBlockParts::Shape;
  RunState& s = p.state;
  const frame::TextBlockParts parts = frame::SplitTextBlock(Layout(p), received);
  if (parts.shape == Shape::kNone) return kBlockMissing;
  if (parts.shape == Shape::kMisplacedEtx) return kBlockBad;
  if (parts.shape == Shape::kTooLong) {
    FlushInput(p);
    return kBlockBad;
  }
  if (!CheckFits(p, parts)) return kBlockBad;
  if (p.settings.SerialNumbers && parts.serial != s.RecordSerial) {
    // The terminal repeats a block whose ACK it missed; anything else is a bad block.
    return Val(std::string(parts.serial)) == Val(s.RecordSerial) - 1 ? kBlockRepeat : kBlockBad;
  }
  record.assign(parts.record);
  return kBlockGood;
}

int16_t WaitClosingAnswer(Program& p, int16_t& result) {
  RunState& s = p.state;
  s.ProcName = "WaitAnswerBHT";
  s.AbortFlag = false;
  s.WaitStart = p.system.Now();
  const double deadline = s.WaitStart + kBlockWaitSeconds;
  std::string block;  // a text block as it arrives
  const auto isRepeat = [&p, &block] {
    std::string record;
    const int16_t code = JudgeTextBlock(p, block, record);
    return code == kBlockRepeat || (code == kBlockGood && !p.settings.SerialNumbers);
  };
  for (;;) {
    if (p.system.Now() - s.WaitStart >= kBlockWaitSeconds) {
      if (!block.empty() && isRepeat() && SendAnswer(p, s.ACK, result)) return kAnswerRepeat;
      return kAnswerTimeout;
    }
    Yield(p);
    if (s.AbortFlag) return kAnswerCancel;
    if (p.comm.InputCount() < 1) {
      if (const int16_t fault = p.comm.PortFault(); fault != 0) return fault;
      IdleForInput(p, deadline);
      continue;
    }
    const std::string chunk = p.comm.InputData();
    if (chunk.empty()) continue;
    if (block.empty() && chunk[0] != s.STX[0]) {
      s.LastAnswer = chunk;
      if (chunk[0] == s.EOT[0]) {
        s.TimeoutCounter = static_cast<int16_t>(p.settings.TimeoutCount - 1);
        return kAnswerEot;
      }
      if (chunk[0] == s.ENQ[0]) return kAnswerEnq;
      if (chunk[0] == s.ACK[0]) return kAnswerAck;
      if (chunk[0] == s.NAK[0]) return kAnswerNak;
      continue;
    }
    block += chunk;
    if (static_cast<int32_t>(block.size()) >= s.BlockLength) {
      if (isRepeat()) {
        if (SendAnswer(p, s.ACK, result)) return kAnswerRepeat;
        return kAnswerTimeout;
      }
      block.clear();
    }
  }
}

}  // namespace telvaro3
