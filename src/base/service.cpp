#include "base/service.h"

#include <algorithm>

#include "base/program.h"

namespace telvaro3 {
namespace {

// The block protocol's link is made once the heading is under way; a YModem transfer has started
// once its first bytes have come or gone.
bool LinkMade(Program& p) {
  if (p.settings.YModem) return p.comm.TransferBytes() > 0;
  const int16_t phase = p.state.TransferPhase;
  return phase >= kPhaseHeading && phase <= kPhaseDone;
}

}  // namespace

TransferFacts FactsOf(const Program& p) {
  TransferFacts f;
  const RunState& s = p.state;
  f.send = p.file.SendMode;
  f.file = p.file.Name;
  f.port = p.settings.Port;
  f.result = s.ErrorCode;
  if (!p.settings.YModem && s.RecordNumber > 1) {
    f.records = std::min(s.RecordNumber - 1, p.file.RecordCount);
    f.bytes = static_cast<int64_t>(f.records) * (p.file.RecordLength + 2);
  }
  if (p.settings.YModem) f.bytes = std::max(p.comm.TransferBytes(), 0);
  // A YModem reception learns its name from the sender; the window shows it.
  if (f.file.empty()) f.file = p.window.Text(Field::FileBox);
  return f;
}

void TellStartIfMade(Program& p) {
  RunState& s = p.state;
  if (p.service == nullptr || !s.RoundLive || s.StartTold) return;
  if (!s.LinkMade) {
    if (!LinkMade(p)) return;
    s.LinkMade = true;
    s.TransferSince = p.system.Now();
  }
  // A reception is told once the heading has named the file.
  TransferFacts facts = FactsOf(p);
  if (facts.file.empty()) return;
  s.StartTold = true;
  p.service->TransferStarted(facts);
}

void ServiceHeartbeat(Program& p) {
  if (p.service == nullptr) return;
  p.service->StillAlive();
  TellStartIfMade(p);
}

}  // namespace telvaro3
