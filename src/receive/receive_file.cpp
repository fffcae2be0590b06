// Receiving a file from the terminal by the block protocol: the terminal leads, the PC answers
// each block with ACK or NAK and gives up with EOT.

#include <algorithm>
#include <charconv>

#include "base/text.h"
#include "base/waits.h"
#include "link/link.h"
#include "receive/block_input.h"
#include "receive/receive.h"
#include "settings/procedures.h"

namespace telvaro3 {
namespace {

constexpr double kBlockWaitSeconds = 3.0;
constexpr double kCheckCharacterGraceSeconds = 0.05;  // a check character late by 50 ms counts
constexpr int16_t kNakLimit = 10;
constexpr int32_t kMaxRecords = 32767;
constexpr int kMaxFieldsPlusLength = 255;

const char* const kAcceptedNames[] = {"ORDERS.BHT", "LIST.BHT",     "UNDEL.BHT",  "RETURNS.BHT",
                                      "TAKE.BHT",   "TRANSFER.BHT", "MISSING.BHT"};

// Characters from the 1-based position `from`, at most `count` of them; nothing beyond the end.
std::string Mid(const std::string& s, size_t from, size_t count) {
  if (from < 1 || from > s.size()) return "";
  return s.substr(from - 1, count);
}

// 1-based position of the first c in s, 0 when there is none.
size_t Position(const std::string& s, const std::string& c) {
  if (c.empty()) return 0;
  const size_t at = s.find(c[0]);
  return at == std::string::npos ? 0 : at + 1;
}

// A number divided by 1000 as a plain decimal number (12.5, 0.952, 3).
std::string Thousandths(int32_t bytes) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(bytes) / 1000.0,
                         std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

// Whether the drive of the receive directory has room for the file the heading announces.
bool EnoughSpace(Program& p) {
  const TransferFile& f = p.file;
  const int32_t needed = (static_cast<int32_t>(f.RecordLength) + 2) * f.RecordCount;
  int32_t free = needed + 1;
  const std::string drive = f.Directory.substr(0, 2);
  if (drive == "A:" || drive == "B:") {
    free = FreeSpace(p, drive + "\\");
    if (free == -1) {
      const std::string error = std::to_string(p.state.FreeSpaceError);
      const std::string title = "Free Space DLL error (" + error + ")";
      const std::string text = "Can not calculate free space \r is there > " + Thousandths(needed) +
                               "kBytes free" + error;
      if (p.window.AskYesNo(title, text)) free = needed + 1;
    }
  }
  return needed <= free;
}

bool IsAcceptedName(const std::string& name) {
  for (const char* accepted : kAcceptedNames)
    if (name == accepted) return true;
  return false;
}

// Checks the text block in the receive buffer: 0 a record (in the record buffer), 1 a bad block,
// 2 no block, 5 a repeat of the record before.
int16_t JudgeTextBlock(Program& p);
// Sends an answer; a port fault (a code above 1000) stops the transfer with that code.
bool SendAnswer(Program& p, const std::string& what, int16_t& result);
// A send or a wait that reports a port fault (the device has gone) stops the transfer with it.
bool PortFailed(Program& p, int16_t code, int16_t& result);
// Answer of the closing wait besides those of WaitAnswerBHT: a repeated last block was answered.
constexpr int16_t kAnswerRepeat = 5;
int16_t WaitClosingAnswer(Program& p, int16_t& result);

bool TimeoutLimitReached(Program& p) {
  return ++p.state.TimeoutCounter >= p.settings.TimeoutCount;
}

bool NakLimitReached(Program& p) {
  return ++p.state.ReceiveNakCounter >= kNakLimit;
}

void ResetCounters(Program& p) {
  p.state.TimeoutCounter = 0;
  p.state.ReceiveNakCounter = 0;
}

// Takes a heading in within its wait: 1 when one may be complete, 2 when the wait ran out, 3 on
// Cancel, or the port's fault.
int16_t CollectHeading(Program& p, HeadingInput& in) {
  RunState& s = p.state;
  s.WaitStart = p.system.Now();
  BlockWait wait(p, s.WaitStart, kLongestHeadingBlock);
  while (!wait.Over(p.system.Now())) {
    Yield(p);
    if (s.AbortFlag) return 3;
    if (p.comm.InputCount() >= 1) {
      in.Add(p.comm.InputData());
      if (in.MayBeArriving()) wait.Arrived(p.system.Now());
      if (in.Complete()) return 1;
    } else if (const int16_t fault = p.comm.PortFault(); fault != 0) {
      return fault;
    } else {
      IdleForInput(p, wait.End());
    }
  }
  return 2;
}

// On a slow line the check character follows the ETX by one character time; a reader that looks
// the moment the ETX lands would refuse every heading. So it is given a moment.
void AwaitCheckCharacter(Program& p, HeadingInput& in) {
  if (!p.settings.BlockCheck || !in.EndsWithEtx()) return;
  const double graceEnd = p.system.Now() + kCheckCharacterGraceSeconds;
  while (p.system.Now() < graceEnd && p.comm.InputCount() < 1) IdleForInput(p, graceEnd);
  if (p.comm.InputCount() >= 1) in.Add(p.comm.InputData());
}

// The fields of a heading whose frame and check character are good: 0, 1, 70, 71, 72 or 79 as
// ReceiveHeader returns them.
int16_t JudgeHeading(Program& p, const std::string& heading);

}  // namespace

int16_t ReceiveHeader(Program& p) {
  RunState& s = p.state;
  s.ProcName = "ReceiveHeader";
  s.ReceiveBuffer.clear();
  HeadingInput in(s);
  const int16_t result = CollectHeading(p, in);
  if (result == 3 || result > kPortFaultAbove) return result;
  if (result == 1) AwaitCheckCharacter(p, in);
  s.ReceiveBuffer = in.Kept();
  if (in.EnqSeen()) return 4;
  if (result == 2 || !in.SohSeen()) return 2;
  const size_t etx = in.EtxPosition();
  if (etx == 0) return 2;
  if (etx < kHeadingEtxPosition) return 1;
  // Without exactly one character after ETX the whole rest must cancel out: a check character
  // NUL that the line lost passes.
  if (p.settings.BlockCheck && !in.CheckFits()) return 1;
  return JudgeHeading(p, in.Text());
}

namespace {

int16_t JudgeHeading(Program& p, const std::string& heading) {
  RunState& s = p.state;
  TransferFile& f = p.file;
  f.RecordLength = 0;
  f.Name = Trim(Mid(heading, 1, 12));
  if (CheckFilename(p) != 0) return 70;
  if (f.ProgramFile ? heading.size() != 17 : heading.size() < 21) return 1;

  const double count = Val(Mid(heading, 13, 5));
  if (!(count >= 0 && count <= kMaxRecords)) return 70;
  f.RecordCount = static_cast<int32_t>(RoundHalfEven(count));
  if (!f.ProgramFile) {
    const int64_t fields = RoundHalfEven(Val(Mid(heading, 18, 2)));
    if (fields < 1 || fields > 16) return 70;
    f.FieldCount = static_cast<int16_t>(fields);
    if (heading.size() != 19 + 2 * static_cast<size_t>(fields)) return 1;
    for (int i = 1; i <= f.FieldCount; ++i) {
      const double length = Val(Mid(heading, 18 + 2 * i, 2));
      if (!(length >= 1 && length <= 99)) return 70;
      const int64_t whole = RoundHalfEven(length);
      f.FieldLengths[i] = std::to_string(whole);
      f.RecordLength = static_cast<int16_t>(f.RecordLength + whole);
      if (f.FieldCount + f.RecordLength > kMaxFieldsPlusLength) return 70;
    }
  }
  s.BlockLength = static_cast<int16_t>(f.RecordLength + 2 + (p.settings.BlockCheck ? 1 : 0) +
                                       (p.settings.SerialNumbers ? 5 : 0));

  // A name that is not taken is judged before any file is opened, so that a PC file of that
  // name is never touched; the codes still come in the order that making the file first gives.
  if (!IsAcceptedName(f.Name)) {
    if (!p.system.CanCreateIn(f.Directory)) return 71;
    if (!EnoughSpace(p)) return 72;
    return 79;
  }
  // The records go to a new version of the file, which takes the old one's place only when the
  // whole file has arrived (or, with +APP, are cut off again unless it has).
  if (OpenFile(p, f.Directory, f.Name, 2, "O") != 0) return 71;
  s.FileCreated = true;
  if (!EnoughSpace(p)) return 72;
  return 0;
}

}  // namespace

int16_t ReceiveData(Program& p) {
  RunState& s = p.state;
  s.ProcName = "ReceiveData";
  const int32_t length = s.BlockLength;
  const int32_t etxAt = p.settings.BlockCheck ? length - 1 : length;
  int16_t result = 2;
  s.WaitStart = p.system.Now();
  s.ReceiveBuffer.clear();
  BlockWait wait(p, s.WaitStart, static_cast<size_t>(std::max(length, 0)));
  int32_t waiting = 0;
  for (;;) {
    const int32_t now = p.comm.InputCount();
    if (now >= length) break;
    if (now > waiting) wait.Arrived(p.system.Now());
    waiting = now;
    if (wait.Over(p.system.Now())) break;
    // The rest of the block will not come from a device that has gone.
    if (const int16_t fault = p.comm.PortFault(); fault != 0) return fault;
    Yield(p);
    if (s.AbortFlag) return 3;
    // The wait ends when the whole block is in, not at each of its characters; the bytes that
    // came meanwhile are counted at the next look, at the latest after the idle cap.
    IdleForInput(p, wait.End(), length);
  }
  std::string& buf = s.ReceiveBuffer;
  buf = p.comm.InputData();
  if (!buf.empty()) {
    if (buf == s.ENQ) return 1;
    if (static_cast<int64_t>(Position(buf, s.ETX)) >= etxAt) result = 1;
  }
  if (result == 2) return 2;
  return JudgeTextBlock(p);
}

namespace {

int16_t JudgeTextBlock(Program& p) {
  RunState& s = p.state;
  std::string& buf = s.ReceiveBuffer;
  const int32_t length = s.BlockLength;
  const int32_t etxAt = p.settings.BlockCheck ? length - 1 : length;
  const size_t stx = Position(buf, s.STX);
  if (stx == 0) return 2;
  buf.erase(0, stx - 1);

  const size_t etx = Position(buf, s.ETX);
  if (etx == 0) return 2;
  if (static_cast<int64_t>(etx) != etxAt) return 1;
  const int64_t size = static_cast<int64_t>(buf.size());
  if (size == length) {
    if (p.settings.BlockCheck && BccCheck(p, buf.substr(1)) != buf.substr(buf.size() - 1)) return 1;
  } else if (size == length - 1 && p.settings.BlockCheck) {
    // The check character was NUL and got lost on the line.
    if (BccCheck(p, buf.substr(1) + " ") != std::string(1, '\0')) return 1;
  } else {
    FlushInput(p);
    return 1;
  }
  buf.erase(0, 1);

  if (p.settings.SerialNumbers) {
    const std::string serial = Mid(buf, 1, 5);
    if (serial != s.RecordSerial) {
      // The terminal repeats a block whose ACK it missed; anything else is a bad block.
      return Val(serial) == Val(s.RecordSerial) - 1 ? 5 : 1;
    }
    buf.erase(0, 5);
  }
  s.RecordBuffer = Mid(buf, 1, p.file.RecordLength > 0 ? p.file.RecordLength : 0);
  return 0;
}

// The closing wait: the answers of WaitAnswerBHT, and besides them a text block that repeats the
// last record, sent again by a terminal that missed our ACK. That block gets its ACK here (it
// is not stored again), so the terminal can go on to close the link.
int16_t WaitClosingAnswer(Program& p, int16_t& result) {
  RunState& s = p.state;
  s.ProcName = "WaitAnswerBHT";
  s.AbortFlag = false;
  s.WaitStart = p.system.Now();
  const double deadline = s.WaitStart + kBlockWaitSeconds;
  std::string block;  // a text block as it arrives
  const auto isRepeat = [&p, &s, &block] {
    s.ReceiveBuffer = block;
    const int16_t code = JudgeTextBlock(p);
    return code == 5 || (code == 0 && !p.settings.SerialNumbers);
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

// Puts the received file in place with its field file, both or neither: a field file that does
// not describe the records would cut every record when the file is sent back.
int16_t KeepReceivedFile(Program& p) {
  if (p.file.ProgramFile) return CommitFile(p, 2);
  const int16_t written = WriteFieldFile(p);
  if (written != 0) return written;
  return CommitFiles(p, {2, 3});
}

bool SendAnswer(Program& p, const std::string& what, int16_t& result) {
  return !PortFailed(p, SendToBHT(p, what), result);
}

bool PortFailed(Program& p, int16_t code, int16_t& result) {
  if (code <= kPortFaultAbove) return false;
  result = code;
  p.state.TransferPhase = kPhaseStopped;
  return true;
}

// A bad heading or text block: NAK, and the tenth NAK ends the data with 53.
void AnswerBadBlock(Program& p, int16_t& result) {
  FlushInput(p);
  if (SendAnswer(p, p.state.NAK, result) && NakLimitReached(p)) {
    result = 53;
    p.state.TransferPhase = kPhaseClosing;
  }
}

// Nothing complete arrived within the wait: it counts against the time-out limit (51).
void CountSilence(Program& p, int16_t& result) {
  FlushInput(p);
  if (TimeoutLimitReached(p)) {
    result = 51;
    p.state.TransferPhase = kPhaseStopped;
  }
}

}  // namespace

int16_t ReceiveFile(Program& p) {
  RunState& s = p.state;
  TransferFile& f = p.file;
  Window& w = p.window;
  int16_t& phase = s.TransferPhase;
  s.ProcName = "ReceiveFile";
  int16_t result = 0;
  s.FileCreated = false;
  ResetCounters(p);
  s.RecordNumber = 1;
  s.RecordSerial = "00001";
  phase = kPhaseLink;

  while (phase == kPhaseLink) {
    const int16_t answer = WaitAnswerBHT(p);
    if (PortFailed(p, answer, result)) break;
    if (answer == kAnswerEnq) {
      if (SendAnswer(p, s.ACK, result)) {
        ResetCounters(p);
        phase = kPhaseHeading;
        w.SetAboutEnabled(false);
      }
    } else if (answer == kAnswerCancel) {
      FlushInput(p);
      SendToBHT(p, s.EOT);
      result = 90;
      phase = kPhaseStopped;
    } else {
      // An EOT left the counter one below the limit, so it ends the link phase at once.
      FlushInput(p);
      if (TimeoutLimitReached(p)) {
        result = 51;
        phase = kPhaseStopped;
      }
    }
  }

  if (phase == kPhaseHeading) w.SetText(Field::StatusBox, "Receive Header");
  Yield(p);

  while (phase == kPhaseHeading) {
    const int16_t code = ReceiveHeader(p);
    if (code == 0) {
      if (SendAnswer(p, s.ACK, result)) {
        ResetCounters(p);
        phase = f.RecordCount > 0 ? kPhaseText : kPhaseClosing;
      }
    } else if (code == 1) {
      AnswerBadBlock(p, result);
    } else if (code == 2) {
      CountSilence(p, result);
    } else if (code == 3) {
      FlushInput(p);
      SendToBHT(p, s.EOT);
      result = 90;
      phase = kPhaseStopped;
    } else if (code == 4) {
      // The terminal asked for the link again.
      FlushInput(p);
      SendToBHT(p, s.ACK);
    } else {
      FlushInput(p);
      result = code;
      phase = kPhaseStopped;
    }
  }

  if (phase == kPhaseText || (phase == kPhaseClosing && result == 0)) {
    w.SetText(Field::StatusBox, f.ProgramFile ? "Receiving Program " : "Receiving File ");
    w.SetText(Field::FileBox, f.Name);
    w.SetText(Field::RecordsBox, " " + FiveDigits(f.RecordCount));
    w.SetText(Field::RecCntBox, " 00000");
    if (phase == kPhaseClosing) {
      w.SetProgress(100);
      w.SetText(Field::complete, "100%");
    }
    Yield(p);
  }

  while (phase == kPhaseText) {
    const int16_t code = ReceiveData(p);
    if (code == 0) {
      // The terminal hears ACK before the record is stored.
      if (!SendAnswer(p, s.ACK, result)) continue;
      w.SetText(Field::RecCntBox, " " + s.RecordSerial);
      const int64_t percent = RoundHalfEven(static_cast<double>(s.RecordNumber) /
                                            static_cast<double>(f.RecordCount) * 100.0);
      w.SetProgress(static_cast<int>(percent));
      w.SetText(Field::complete, PercentText(percent));
      Yield(p);
      const int16_t written = WriteRecord(p);
      if (written == 0) {
        ++s.RecordNumber;
        ResetCounters(p);
        s.RecordSerial = FiveDigits(s.RecordNumber);
        if (s.RecordNumber > f.RecordCount) phase = kPhaseClosing;
      } else if (written == 3) {
        FlushInput(p);
        result = 90;
        phase = kPhaseStopped;
      } else {
        // The terminal may still close the link normally; the code reports the lost record.
        result = written;
        phase = kPhaseClosing;
      }
    } else if (code == 1) {
      AnswerBadBlock(p, result);
    } else if (code == 2) {
      CountSilence(p, result);
    } else if (code == 3) {
      FlushInput(p);
      result = 90;
      phase = kPhaseStopped;
    } else if (code == 5) {
      // A repeat of the record already stored: acknowledged, not written again.
      SendAnswer(p, s.ACK, result);
    } else {
      PortFailed(p, code, result);
    }
  }

  w.SetText(Field::StatusBox, "Closing Link");
  Yield(p);

  while (phase == kPhaseClosing) {
    const int16_t answer = WaitClosingAnswer(p, result);
    if (answer == kAnswerRepeat) continue;
    if (phase != kPhaseClosing) break;  // the ACK to a repeated block could not be sent
    if (PortFailed(p, answer, result)) break;
    if (answer == kAnswerCancel) {
      FlushInput(p);
      SendToBHT(p, s.EOT);
      result = 90;
      phase = kPhaseStopped;
    } else if (answer == kAnswerEot) {
      p.system.Sleep(20);
      if (SendAnswer(p, s.ACK, result)) phase = kPhaseDone;
    } else if (TimeoutLimitReached(p)) {
      // A record that could not be stored is what went wrong, not the terminal that then kept
      // sending instead of closing: its code stays the result.
      if (result == 0) result = 51;
      phase = kPhaseStopped;
    }
  }

  // Only a whole file replaces what was there, and only together with its field file: both are
  // put in place when the link closed normally with nothing lost; otherwise the PC's files stay
  // exactly as they were before the transfer.
  if (phase == kPhaseDone && result == 0 && s.FileCreated) result = KeepReceivedFile(p);
  CloseFile(p, 2);
  CloseFile(p, 3);
  if (phase == kPhaseStopped) {
    SendToBHT(p, s.EOT);
    SendToBHT(p, s.ACK);
  }
  return result;
}

}  // namespace telvaro3
