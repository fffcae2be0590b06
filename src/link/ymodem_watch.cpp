#include "link/ymodem_watch.h"

#include "base/service.h"
#include "base/text.h"

namespace telvaro3 {

void Form1_YModemTimer_Timer(Program& p) {
  ++p.state.TimeoutCounter;
}

// The timer tick and Cancel arrive as window events. A YModem transfer may take minutes: each
// wait tells the service manager's watchdog that the program still answers.
void PumpYModem(Program& p, int16_t& result) {
  ServiceHeartbeat(p);
  p.window.WaitEvents(kIdleWaitMs);
  if (p.state.AbortFlag) {
    CancelYModem(p);
    result = kErrCancelled;
  }
}

bool YModemOver(int32_t state, int16_t failedCode, int16_t& result) {
  if (state == kYModemFailed && result == kOk) result = failedCode;
  if (state == kYModemStopped && result == kOk) result = kErrCommsEndedByPeer;
  return state == kYModemFailed || state == kYModemIdle || state == kYModemStopped;
}

// The component stops within moments; the bound only guards against one that never does.
void CancelYModem(Program& p) {
  p.comm.SetCancelTransfer(true);
  const double giveUp = p.system.Now() + 60.0;
  while (p.comm.TransferState() > 0 && p.system.Now() < giveUp) {
    ServiceHeartbeat(p);
    p.window.WaitEvents(kIdleWaitMs);
  }
}

int16_t FailedCode(Program& p, int16_t usual) {
  const int16_t fault = p.comm.PortFault();
  return fault != 0 ? fault : usual;
}

int16_t StartLost(Program& p, int16_t result) {
  const int16_t fault = p.comm.PortFault();
  if (fault == 0 || p.comm.TransferBytes() > 0) return 0;
  if (p.comm.TransferState() > 0) CancelYModem(p);
  return result != 0 ? result : fault;
}

std::string KiloText(int64_t bytes) {
  return " " + FiveDigits(RoundHalfEven(static_cast<double>(bytes) / 1024.0));
}

void ShowWholeFile(Program& p, int64_t size) {
  p.window.SetText(Field::RecCntBox, KiloText(size));
  p.window.SetProgress(100);
  p.window.SetText(Field::complete, PercentText(100));
}

}  // namespace telvaro3
