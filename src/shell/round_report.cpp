// What each round tells a service manager and its log: the start of a transfer once its link is
// made, and one summary at its end.

#include <cstdio>

#include "base/text.h"
#include "shell/shell.h"

namespace telvaro3 {
namespace {

std::string Summary(const Program& p, const TransferFacts& f) {
  std::string s;
  if (f.file.empty()) {
    s = std::string(f.send ? "send" : "receive") + " on port " + std::to_string(f.port);
  } else {
    s = std::string(f.send ? "sent " : "received ") + f.file + ": ";
    if (!p.settings.YModem)
      s += std::to_string(f.records) + (f.records == 1 ? " record, " : " records, ");
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", f.seconds);
    s += std::to_string(f.bytes) + " bytes in " + seconds + " s";
  }
  return s + ": " + f.resultLine;
}

// In continuous mode a round that never made a link is no transfer: a silent line (the
// terminal not in its cradle) is not told at all, and any other result only when it differs
// from the last such round, so that a missing port is told once and not every second.
bool Worth(Program& p) {
  RunState& s = p.state;
  if (s.LinkMade) {
    s.LastIdleResult = 0;
    return true;
  }
  if (!p.settings.Continuous) return true;
  const int16_t code = s.ErrorCode;
  const bool silentLine = code >= kErrCommsTimeoutReceiving && code <= kErrCommsEndedByPeer;
  const bool changed = code != s.LastIdleResult;
  s.LastIdleResult = code;
  return !silentLine && changed;
}

}  // namespace

void BeginRound(Program& p) {
  RunState& s = p.state;
  s.RoundLive = true;
  s.LinkMade = false;
  s.StartTold = false;
  s.TransferPhase = 0;
  s.RecordNumber = 0;
}

void EndRound(Program& p, double roundStart, const std::string& unexpected) {
  RunState& s = p.state;
  TellStartIfMade(p);
  // One that made its link and never learnt the file's name has its start told with the end.
  if (s.LinkMade && !s.StartTold && p.service != nullptr) p.service->TransferStarted(FactsOf(p));
  s.RoundLive = false;
  if (p.service == nullptr || !Worth(p)) return;
  TransferFacts f = FactsOf(p);
  f.seconds = p.system.Now() - (s.LinkMade ? s.TransferSince : roundStart);
  if (!unexpected.empty()) {
    f.resultLine = unexpected;
  } else {
    f.resultLine = s.ErrorCode <= 0 ? "Err(0) Transfer Complete" : ErrorMessage(p, s.ErrorCode);
  }
  f.summary = Summary(p, f);
  s.LinkMade = false;
  s.StartTold = false;
  p.service->TransferEnded(f);
}

int ExitStatus(int16_t result) {
  if (result <= 0) return 0;
  return result > 255 ? 255 : result;
}

}  // namespace telvaro3
