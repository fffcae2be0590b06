// The four primitives of the block protocol: the block check character, sending a string to the
// terminal, and waiting for its one-character answer.

#include <cmath>

#include "base/text.h"
#include "base/waits.h"
#include "link/block_codec.h"
#include "link/link.h"

namespace telvaro3 {
namespace {

// Exclusive-or of the character codes of text[0, end).
std::string XorOf(std::string_view text, size_t end) {
  return std::string(1, frame::CheckCharacter(text.substr(0, end)));
}

constexpr double kAnswerWaitSeconds = 3.0;
// What a send may take beyond the line time of its data before the output is given up.
constexpr double kSendMarginSeconds = 5.0;

bool Is(char c, const std::string& control) {
  return !control.empty() && c == control[0];
}

// The send delay before a write, which gives the terminal time to turn its line around. It is
// spent waiting on the port rather than asleep: a wait that ends with nothing come tells the port
// that nothing is waiting, so the look before the write costs no call of its own. Input that ends
// the wait early leaves the rest of the delay to be slept.
void PauseBeforeWrite(Program& p) {
  // A negative delay from the command line means no delay, never an endless one.
  const int ms = p.settings.SendDelayMs > 0 ? p.settings.SendDelayMs : 0;
  if (ms == 0) return;
  const double end = p.system.Now() + ms / 1000.0;
  p.comm.WaitInput(ms);
  const double left = end - p.system.Now();
  if (left > 0) p.system.Sleep(static_cast<int>(std::ceil(left * 1000.0)));
}

}  // namespace

std::string AddBcc(Program& p, std::string_view text) {
  p.state.ProcName = "AddBcc";
  return XorOf(text, text.size());
}

std::string BccCheck(Program& p, std::string_view block) {
  p.state.ProcName = "BccCheck";
  // The last character is the received check itself and is left out.
  return XorOf(block, block.empty() ? 0 : block.size() - 1);
}

int16_t SendToBHT(Program& p, const std::string& data) {
  PauseBeforeWrite(p);
  // Input already waiting is no answer to this write; only what comes after it is.
  const int32_t inputBefore = p.comm.InputCount();
  p.comm.OutputData(data);
  // The answer to a block may only be awaited once the block is on the line, so the wait lasts
  // as long as the port still holds output. A device that nobody reads (or a line held up) must
  // not keep it forever: it may take the line time of the data and a few seconds more, and is
  // then given up like an unknown event: the output is discarded and the send counts as done,
  // so that the answer wait decides.
  const double giveUp = p.system.Now() + LineSeconds(p, data.size()) + kSendMarginSeconds;
  bool answered = false;
  while (p.comm.OutputCount() >= 1 && p.comm.EventCode() == kEventNone && p.system.Now() < giveUp) {
    Yield(p);
    if (p.state.AbortFlag) break;
    // The port wait also ends when the output should have left.
    IdleForInput(p, giveUp);
    // Input that came after the write proves the data has left, however fast the link is (a
    // terminal that answers at once, an adapter that ignores the baud rate): the port's estimate
    // of the line time no longer counts, and the answer, waiting unread, must not end every
    // further port wait at once.
    if (p.comm.InputCount() > inputBefore) {
      answered = true;
      break;
    }
  }
  const int16_t event = p.comm.EventCode();
  p.state.LastResult = answered && event == kEventNone ? int16_t{kEventSent} : event;
  if (p.state.LastResult == kEventSent) return kOk;
  if (IsPortFault(event)) return event;
  // Anything else (also a cancel or the limit before the output left): what is still queued is
  // given up.
  p.comm.SetOutputCount(0);
  Yield(p);
  return kOk;
}

int16_t WaitAnswerBHT(Program& p) {
  RunState& s = p.state;
  s.ProcName = "WaitAnswerBHT";
  s.AbortFlag = false;
  s.WaitStart = p.system.Now();
  const double deadline = s.WaitStart + kAnswerWaitSeconds;
  for (;;) {
    // Ignored characters do not restart the three seconds.
    if (p.system.Now() - s.WaitStart >= kAnswerWaitSeconds) return kAnswerTimeout;
    Yield(p);
    if (s.AbortFlag) return kAnswerCancel;
    // Whatever is waiting, at once: an answer that has come is seen without a second look. It
    // goes into the kept string, whose storage the port reuses for the input to come.
    p.comm.TakeInput(s.LastAnswer);
    if (s.LastAnswer.empty()) {
      // A device that has gone sends nothing more: no use waiting out the three seconds.
      if (const int16_t fault = p.comm.PortFault(); fault != 0) return fault;
      IdleForInput(p, deadline);
      continue;
    }
    // Only the first character of a chunk counts; the rest of the chunk goes with it.
    const char first = s.LastAnswer[0];
    if (Is(first, s.EOT)) {
      // The next time-out the caller counts reaches its limit.
      s.TimeoutCounter = static_cast<int16_t>(p.settings.TimeoutCount - 1);
      return kAnswerEot;
    }
    if (Is(first, s.ENQ)) return kAnswerEnq;
    if (Is(first, s.ACK)) return kAnswerAck;
    if (Is(first, s.NAK)) return kAnswerNak;
  }
}

}  // namespace telvaro3
