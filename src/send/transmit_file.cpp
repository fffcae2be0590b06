// Sending a PC file to the terminal by the block protocol: link, heading, one text block per line,
// closing.

#include <utility>

#include "base/text.h"
#include "base/waits.h"
#include "link/block_codec.h"
#include "link/link.h"
#include "link/progress_display.h"
#include "send/send.h"
#include "settings/procedures.h"

namespace telvaro3 {
namespace {

constexpr int16_t kNakLimit = 10;

// Characters from the 1-based position `from`, at most `count` of them; nothing beyond the end.
std::string Mid(const std::string& s, size_t from, size_t count) {
  if (from < 1 || from > s.size()) return "";
  return s.substr(from - 1, count);
}

// The 29-character compacted form of a padded line: a packed number, a text of 16, and two more
// packed numbers.
std::string Compacted(const std::string& line) {
  std::string head = PackDigits(Trim(Mid(line, 1, 18))) + std::string(9, ' ');
  std::string tail = PackDigits("0" + Mid(line, 35, 5)) + PackDigits(Mid(line, 41, 2));
  return head.substr(0, 9) + Mid(line, 19, 16) + tail.substr(0, 4);
}

bool TimeoutLimitReached(Program& p) {
  return ++p.state.TimeoutCounter >= p.settings.TimeoutCount;
}

bool NakLimitReached(Program& p) {
  return ++p.state.NakCounter >= kNakLimit;
}

// A send or an answer wait that reports a port fault (the device has gone) ends the transfer at
// once with it: no EOT, no closing phase.
bool PortFailed(Program& p, int16_t code) {
  if (code <= kPortFaultAbove) return false;
  p.state.TransferPhase = kPhaseStopped;
  return true;
}

// The answers that the link, heading and text phases treat alike: at the time-out limit one EOT
// and 52; the tenth NAK 54 and closing; Cancel 90; EOT 55 and closing. ENQ changes nothing.
void OtherAnswer(Program& p, int16_t answer, int16_t& result) {
  int16_t& phase = p.state.TransferPhase;
  switch (answer) {
    case kAnswerTimeout:
      if (TimeoutLimitReached(p)) {
        SendToBHT(p, p.state.EOT);
        result = kErrCommsTimeoutSending;
        phase = kPhaseStopped;
      }
      break;
    case kAnswerNak:
      if (NakLimitReached(p)) {
        result = kErrCommsNakLimitSending;
        phase = kPhaseClosing;
      }
      break;
    case kAnswerCancel:
      result = kErrCancelled;
      phase = kPhaseStopped;
      break;
    case kAnswerEot:
      result = kErrCommsEndedByPeer;
      phase = kPhaseClosing;
      break;
    default:
      break;
  }
}

void ResetCounters(Program& p) {
  p.state.TimeoutCounter = 0;
  p.state.NakCounter = 0;
}

// Each phase below runs while TransferPhase is its own and returns kOk, or the port's fault,
// which ends the transfer at once. `result` collects the transfer's result.

// ENQ until the terminal answers ACK; then the heading is built.
int16_t LinkPhase(Program& p, int16_t& result) {
  RunState& s = p.state;
  while (s.TransferPhase == kPhaseLink) {
    SendToBHT(p, s.ENQ);
    s.LastResult = WaitAnswerBHT(p);
    if (PortFailed(p, s.LastResult)) return s.LastResult;
    if (s.LastResult != kAnswerAck) {
      OtherAnswer(p, s.LastResult, result);  // ENQ: ask again
      continue;
    }
    SetHeader(p);
    ResetCounters(p);
    s.TransferPhase = kPhaseHeading;
    p.window.SetAboutEnabled(false);
  }
  return kOk;
}

// The heading until ACK; then the first record is read into `first`.
int16_t HeadingPhase(Program& p, int16_t& result, std::string& first) {
  RunState& s = p.state;
  while (s.TransferPhase == kPhaseHeading) {
    // After ACK or NAK the heading (again); after a time-out or ENQ an enquiry, whose answer
    // counts as the answer to the heading.
    const bool heading = s.LastResult == kAnswerAck || s.LastResult == kAnswerNak;
    s.LastResult = SendToBHT(p, heading ? s.HeadingBlock : s.ENQ);
    if (PortFailed(p, s.LastResult)) return s.LastResult;
    s.LastResult = WaitAnswerBHT(p);
    if (PortFailed(p, s.LastResult)) return s.LastResult;
    if (s.LastResult != kAnswerAck) {
      OtherAnswer(p, s.LastResult, result);
      continue;
    }
    ResetCounters(p);
    if (p.file.RecordCount > 0) {
      s.TransferPhase = kPhaseText;
      GetNextRecord(p, first);
      ++s.RecordNumber;
    } else {
      s.TransferPhase = kPhaseClosing;
    }
  }
  return kOk;
}

// One text block a line, each until ACK, starting with `current`.
int16_t TextPhase(Program& p, int16_t& result, std::string current) {
  RunState& s = p.state;
  const int32_t count = p.file.RecordCount;
  // In this phase LastResult keeps only send results: after the non-fatal event 1000 the PC asks
  // with ENQ instead of repeating the block.
  int16_t answer = kAnswerAck;
  std::string next;
  while (s.TransferPhase == kPhaseText) {
    const bool block = s.LastResult == kOk || s.LastResult == kEventSent;
    s.LastResult = SendToBHT(p, block ? current : s.ENQ);
    if (PortFailed(p, s.LastResult)) return s.LastResult;
    // Each line is read once, after its predecessor first went out.
    if (s.RecordNumber <= count && answer == kAnswerAck) GetNextRecord(p, next);
    answer = WaitAnswerBHT(p);
    if (PortFailed(p, answer)) return answer;
    if (answer != kAnswerAck) {
      OtherAnswer(p, answer, result);  // ENQ: the same block again
      continue;
    }
    ShowRecordProgress(p, s.RecordNumber - 1);
    if (s.RecordNumber <= count) {
      // The two blocks trade places, each keeping its storage for a later record.
      current.swap(next);
      ++s.RecordNumber;
    } else {
      s.TransferPhase = kPhaseClosing;
    }
    ResetCounters(p);
  }
  return kOk;
}

// EOT until ACK: the time-out limit gives 52 and Cancel 90, any other answer counts as a
// time-out.
int16_t ClosingPhase(Program& p, int16_t& result) {
  RunState& s = p.state;
  while (s.TransferPhase == kPhaseClosing) {
    SendToBHT(p, s.EOT);
    const int16_t a = WaitAnswerBHT(p);
    if (PortFailed(p, a)) return a;
    if (a == kAnswerAck) {
      s.TransferPhase = kPhaseDone;
    } else if (a == kAnswerCancel) {
      result = kErrCancelled;
      s.TransferPhase = kPhaseStopped;
    } else if (TimeoutLimitReached(p)) {
      result = kErrCommsTimeoutSending;
      s.TransferPhase = kPhaseStopped;
    }
  }
  return kOk;
}

// The dialogue once the PC file is open as file number 1.
int16_t Dialogue(Program& p) {
  RunState& s = p.state;
  int16_t result = kOk;
  ResetCounters(p);
  s.RecordNumber = 1;
  s.RecordSerial = "00000";
  s.TransferPhase = kPhaseLink;
  if (const int16_t fault = LinkPhase(p, result); fault != kOk) return fault;
  if (s.TransferPhase == kPhaseHeading) {
    p.window.SetText(Field::StatusBox, "Sending Header");
    p.window.SetText(Field::FileBox, p.file.Name);
    Yield(p);
  }
  std::string first;
  if (const int16_t fault = HeadingPhase(p, result, first); fault != kOk) return fault;
  if (s.TransferPhase == kPhaseText || (s.TransferPhase == kPhaseClosing && result == kOk))
    ShowRecordsStart(p, p.file.ProgramFile ? "Sending Program " : "Sending File ", true);
  if (const int16_t fault = TextPhase(p, result, std::move(first)); fault != kOk) return fault;
  // An EOT answer left the counter one below its limit; the closing phase counts afresh.
  s.TimeoutCounter = 0;
  p.window.SetText(Field::StatusBox, "Closing Link");
  Yield(p);
  if (const int16_t fault = ClosingPhase(p, result); fault != kOk) return fault;
  return result;
}

}  // namespace

void GetNextRecord(Program& p, std::string& block) {
  RunState& s = p.state;
  const TransferFile& f = p.file;
  s.ProcName = "GetNextRecord";
  std::string& line = s.RecordBuffer;
  // Fewer lines than were counted would be a run-time fault of this procedure; the lines held
  // since the counting leave no way for it to happen.
  if (!p.files[1] || !p.files[1]->ReadLine(line)) throw RunTimeError(62, RunTimeErrorText(62));
  const size_t length = f.RecordLength > 0 ? static_cast<size_t>(f.RecordLength) : 0;
  if (!p.settings.Compact && line.size() > length) line.resize(length);
  if (line.size() < length) line.append(length - line.size(), f.ProgramFile ? '0' : ' ');
  if (p.settings.Compact) line = Compacted(line);
  s.RecordSerial = FiveDigits(s.RecordNumber);
  const frame::TextBlockLayout layout{line.size(), p.settings.BlockCheck, p.settings.SerialNumbers};
  // The block is put together in one string, as it is built once for every record.
  block.assign(s.STX);
  block.reserve(layout.Length());
  frame::AppendTextBlockBody(block, layout, s.RecordSerial, line);
  if (p.settings.BlockCheck) block += AddBcc(p, std::string_view(block).substr(s.STX.size()));
}

int16_t TransmitFile(Program& p) {
  p.state.ProcName = "Transmit File";
  // The lines go out as they were read when they were counted, never from the file on the disk,
  // which may have been rewritten since. A round that holds none (a later round of continuous
  // mode) reads and counts the file afresh.
  if (!p.sendSnapshot) {
    const int16_t read = ReadFileToSend(p);
    if (read != 0) return read;
  }
  p.files[1] = std::move(p.sendSnapshot);
  int16_t result = 0;
  try {
    result = Dialogue(p);
  } catch (...) {
    // The fault goes on to the run's handler; the file must not stay open behind it.
    CloseFile(p, 1);
    throw;
  }
  CloseFile(p, 1);
  return result;
}

}  // namespace telvaro3
