#include "base/text.h"
#include "link/ymodem_watch.h"
#include "send/send.h"

namespace telvaro3 {

int16_t TransmitYModem(Program& p) {
  RunState& st = p.state;
  Window& w = p.window;
  st.ProcName = "TransmitYModem";
  w.SetTimerEnabled(true);
  st.TimeoutCounter = 0;
  st.AbortFlag = false;
  int16_t result = 0;
  p.comm.SendFile(p.file.Directory + p.file.Name);
  do {
    PumpYModem(p, result);
  } while (!(p.comm.TransferBytes() > 0 || st.TimeoutCounter == p.settings.TimeoutCount ||
             st.AbortFlag || p.comm.PortFault() != 0));
  w.SetTimerEnabled(false);
  if (const int16_t lost = StartLost(p, result); lost != 0) return lost;
  if (st.TimeoutCounter >= p.settings.TimeoutCount) {
    // Nobody took the file: make sure the component lets go of the port.
    if (p.comm.TransferState() > 0) CancelYModem(p);
    return result != kOk ? result : kErrCommsTimeoutReceiving;
  }
  if (p.comm.TransferState() == kYModemFailed) return result != kOk ? result : kErrGeneralFailure;

  p.file.RecordLength = 1024;
  w.SetText(Field::StatusBox, p.file.ProgramFile ? "Sending Program " : "Sending File ");
  w.SetText(Field::FileBox, p.file.Name);
  w.SetText(Field::RecordsBox, KiloText(p.comm.TransferSize()));
  int endCount = 0;
  for (;;) {
    PumpYModem(p, result);
    const int32_t state = p.comm.TransferState();
    if (YModemOver(state, FailedCode(p, kErrCommsNakLimitReceiving), result)) {
      // The component counts the last byte only once the receiver has taken the end of the
      // file, and by then it has left the transferring state: a good end shows the whole file.
      if (state == kYModemIdle && result == kOk) ShowWholeFile(p, p.comm.TransferSize());
      return result;
    }
    if (state != kYModemBusy) continue;
    const int64_t bytes = p.comm.TransferBytes();
    const int64_t size = p.comm.TransferSize();
    if (bytes >= size) {
      ShowWholeFile(p, size);
      ++endCount;
      p.system.Sleep(50);
      if (endCount == 10) return result;
    } else {
      w.SetText(Field::RecCntBox, KiloText(bytes));
      int64_t percent =
          RoundHalfEven(static_cast<double>(bytes - 1) / static_cast<double>(size) * 100.0);
      percent = percent < 1 ? 1 : (percent > 100 ? 100 : percent);
      w.SetProgress(static_cast<int>(percent));
      w.SetText(Field::complete, PercentText(percent));
    }
  }
}

}  // namespace telvaro3
