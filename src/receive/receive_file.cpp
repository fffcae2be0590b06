// Receiving a file from the terminal by the block protocol: the terminal leads, the PC answers
// each block with ACK or NAK and gives up with EOT.

#include "base/text.h"
#include "base/waits.h"
#include "link/link.h"
#include "link/progress_display.h"
#include "receive/receive.h"
#include "receive/receive_steps.h"
#include "settings/procedures.h"

namespace telvaro3 {

bool TimeoutLimitReached(Program& p) {
  return ++p.state.TimeoutCounter >= p.settings.TimeoutCount;
}

bool NakLimitReached(Program& p) {
  return ++p.state.ReceiveNakCounter >= kReceiveNakLimit;
}

void ResetCounters(Program& p) {
  p.state.TimeoutCounter = 0;
  p.state.ReceiveNakCounter = 0;
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

namespace {

// A bad heading or text block: NAK, and the tenth NAK ends the data with 53.
void AnswerBadBlock(Program& p, int16_t& result) {
  FlushInput(p);
  if (SendAnswer(p, p.state.NAK, result) && NakLimitReached(p)) {
    result = kErrCommsNakLimitReceiving;
    p.state.TransferPhase = kPhaseClosing;
  }
}

// Nothing complete arrived within the wait: it counts against the time-out limit (51).
void CountSilence(Program& p, int16_t& result) {
  FlushInput(p);
  if (TimeoutLimitReached(p)) {
    result = kErrCommsTimeoutReceiving;
    p.state.TransferPhase = kPhaseStopped;
  }
}

// Cancel: the terminal is told with EOT, and the transfer stops with 90.
void StopOnCancel(Program& p, int16_t& result) {
  FlushInput(p);
  SendToBHT(p, p.state.EOT);
  result = kErrCancelled;
  p.state.TransferPhase = kPhaseStopped;
}

// The terminal's ENQ, answered with ACK.
void LinkPhase(Program& p, int16_t& result) {
  while (p.state.TransferPhase == kPhaseLink) {
    const int16_t answer = WaitAnswerBHT(p);
    if (PortFailed(p, answer, result)) return;
    if (answer == kAnswerEnq) {
      if (SendAnswer(p, p.state.ACK, result)) {
        ResetCounters(p);
        p.state.TransferPhase = kPhaseHeading;
        p.window.SetAboutEnabled(false);
      }
    } else if (answer == kAnswerCancel) {
      StopOnCancel(p, result);
    } else {
      // An EOT left the counter one below the limit, so it ends the link phase at once.
      CountSilence(p, result);
    }
  }
}

// A heading, judged until one is accepted (ACK) or refused.
void HeadingPhase(Program& p, int16_t& result) {
  while (p.state.TransferPhase == kPhaseHeading) {
    const int16_t code = ReceiveHeader(p);
    if (code == kBlockGood) {
      if (SendAnswer(p, p.state.ACK, result)) {
        ResetCounters(p);
        p.state.TransferPhase = p.file.RecordCount > 0 ? kPhaseText : kPhaseClosing;
      }
    } else if (code == kBlockBad) {
      AnswerBadBlock(p, result);
    } else if (code == kBlockMissing) {
      CountSilence(p, result);
    } else if (code == kBlockCancelled) {
      StopOnCancel(p, result);
    } else if (code == kBlockEnq) {
      // The terminal asked for the link again.
      FlushInput(p);
      SendToBHT(p, p.state.ACK);
    } else {
      FlushInput(p);
      result = code;
      p.state.TransferPhase = kPhaseStopped;
    }
  }
}

// A good record: ACK, then it is stored. The terminal hears ACK before the record is stored.
void TakeRecord(Program& p, int16_t& result) {
  RunState& s = p.state;
  if (!SendAnswer(p, s.ACK, result)) return;
  ShowRecordProgress(p, s.RecordNumber);
  Yield(p);
  const int16_t written = WriteRecord(p);
  if (written == kRecordWritten) {
    ++s.RecordNumber;
    ResetCounters(p);
    s.RecordSerial = FiveDigits(s.RecordNumber);
    if (s.RecordNumber > p.file.RecordCount) s.TransferPhase = kPhaseClosing;
  } else if (written == kRecordCancelled) {
    FlushInput(p);
    result = kErrCancelled;
    s.TransferPhase = kPhaseStopped;
  } else {
    // The terminal may still close the link normally; the code reports the lost record.
    result = written;
    s.TransferPhase = kPhaseClosing;
  }
}

// One record a text block until the last has been stored.
void TextPhase(Program& p, int16_t& result) {
  while (p.state.TransferPhase == kPhaseText) {
    const int16_t code = ReceiveData(p);
    if (code == kBlockGood) {
      TakeRecord(p, result);
    } else if (code == kBlockBad) {
      AnswerBadBlock(p, result);
    } else if (code == kBlockMissing) {
      CountSilence(p, result);
    } else if (code == kBlockCancelled) {
      FlushInput(p);
      result = kErrCancelled;
      p.state.TransferPhase = kPhaseStopped;
    } else if (code == kBlockRepeat) {
      // A repeat of the record already stored: acknowledged, not written again.
      SendAnswer(p, p.state.ACK, result);
    } else {
      PortFailed(p, code, result);
    }
  }
}

// The terminal's EOT, answered with ACK.
void ClosingPhase(Program& p, int16_t& result) {
  RunState& s = p.state;
  while (s.TransferPhase == kPhaseClosing) {
    const int16_t answer = WaitClosingAnswer(p, result);
    if (answer == kAnswerRepeat) continue;
    if (s.TransferPhase != kPhaseClosing) return;  // the ACK to a repeated block failed
    if (PortFailed(p, answer, result)) return;
    if (answer == kAnswerCancel) {
      StopOnCancel(p, result);
    } else if (answer == kAnswerEot) {
      p.system.Sleep(20);
      if (SendAnswer(p, s.ACK, result)) s.TransferPhase = kPhaseDone;
    } else if (TimeoutLimitReached(p)) {
      // A record that could not be stored is what went wrong, not the terminal that then kept
      // sending instead of closing: its code stays the result.
      if (result == kOk) result = kErrCommsTimeoutReceiving;
      s.TransferPhase = kPhaseStopped;
    }
  }
}

// Puts the received file in place with its field file, both or neither: a field file that does
// not describe the records would cut every record when the file is sent back.
int16_t KeepReceivedFile(Program& p) {
  if (p.file.ProgramFile) return CommitFile(p, 2);
  const int16_t written = WriteFieldFile(p);
  if (written != kOk) return written;
  return CommitFiles(p, {2, 3});
}

}  // namespace

int16_t ReceiveFile(Program& p) {
  RunState& s = p.state;
  s.ProcName = "ReceiveFile";
  int16_t result = kOk;
  s.FileCreated = false;
  ResetCounters(p);
  s.RecordNumber = 1;
  s.RecordSerial = "00001";
  s.TransferPhase = kPhaseLink;
  LinkPhase(p, result);
  if (s.TransferPhase == kPhaseHeading) p.window.SetText(Field::StatusBox, "Receive Header");
  Yield(p);
  HeadingPhase(p, result);
  if (s.TransferPhase == kPhaseText || (s.TransferPhase == kPhaseClosing && result == kOk))
    ShowRecordsStart(p, p.file.ProgramFile ? "Receiving Program " : "Receiving File ", false);
  TextPhase(p, result);
  p.window.SetText(Field::StatusBox, "Closing Link");
  Yield(p);
  ClosingPhase(p, result);
  // Only a whole file replaces what was there, and only together with its field file: both are
  // put in place when the link closed normally with nothing lost; otherwise the PC's files stay
  // exactly as they were before the transfer.
  if (s.TransferPhase == kPhaseDone && result == kOk && s.FileCreated) result = KeepReceivedFile(p);
  CloseFile(p, 2);
  CloseFile(p, 3);
  if (s.TransferPhase == kPhaseStopped) {
    SendToBHT(p, s.EOT);
    SendToBHT(p, s.ACK);
  }
  return result;
}

}  // namespace telvaro3
