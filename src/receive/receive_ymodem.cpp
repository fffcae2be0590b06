#include "receive/receive.h"
#include "send/send.h"
#include "settings/procedures.h"
#include "shell/shell.h"
#include "shell/text.h"

namespace telvaro3 {

namespace {

// One step of the progress display: a new file name first, then a new size, then the counts.
void UpdateDisplay(Program& p, size_t namePos) {
  Window& w = p.window;
  const std::string path = p.comm.CurrentFilePath();
  const std::string name = namePos <= path.size() ? path.substr(namePos) : std::string();
  if (name != w.Text(Field::FileBox)) {
    p.file.Name = name;
    w.SetText(Field::FileBox, name);
    return;
  }
  const std::string sizeText = KiloText(p.comm.TransferSize());
  if (sizeText != w.Text(Field::RecordsBox)) {
    w.SetText(Field::RecordsBox, sizeText);
    return;
  }
  const int64_t b = p.comm.TransferBytes();
  const int64_t s = p.comm.TransferSize();
  if (b >= 1 && b <= s) {
    w.SetText(Field::RecCntBox, KiloText(b));
    int64_t percent = RoundHalfEven(static_cast<double>(b - 1) / static_cast<double>(s) * 100.0);
    percent = percent < 1 ? 1 : (percent > 100 ? 100 : percent);
    w.SetProgress(static_cast<int>(percent));
    w.SetText(Field::complete, PercentText(percent));
  } else if (b > s) {
    w.SetText(Field::RecCntBox, KiloText(s));
    w.SetProgress(100);
    w.SetText(Field::complete, PercentText(100));
  }
}

}  // namespace

int16_t ReceiveYModem(Program& p) {
  RunState& st = p.state;
  Window& w = p.window;
  st.ProcName = "ReceiveYModem";
  w.SetTimerEnabled(true);
  st.TimeoutCounter = 0;
  st.AbortFlag = false;
  int16_t result = 0;
  p.comm.ReceiveDirectory(p.file.Directory.empty() ? p.system.CurrentDirectory()
                                                   : p.file.Directory);
  p.comm.StartReceive("");
  int32_t bytes = 0;
  do {
    PumpYModem(p, result);
    bytes = p.comm.TransferBytes();
  } while (!(bytes > 0 || st.TimeoutCounter == p.settings.TimeoutCount || st.AbortFlag));
  w.SetTimerEnabled(false);
  if (st.TimeoutCounter >= p.settings.TimeoutCount) {
    if (p.comm.TransferState() > 0) CancelYModem(p);
    return result != 0 ? result : 52;
  }
  if (p.comm.TransferState() == -1) return result != 0 ? result : 99;

  // The name is what follows the last backslash of the first file's path.
  const std::string path = p.comm.CurrentFilePath();
  const size_t slash = path.rfind('\\');
  const size_t namePos = slash == std::string::npos ? 0 : slash + 1;
  p.file.Name = path.substr(namePos);
  if (CheckFilename(p) != 0) {
    CancelYModem(p);
    return 70;
  }
  p.file.RecordLength = 1024;
  st.ProcName = "ReceiveYModem2";
  w.SetText(Field::StatusBox, p.file.ProgramFile ? "Receiving Program " : "Receiving File ");
  for (;;) {
    PumpYModem(p, result);
    const int32_t state = p.comm.TransferState();
    if (YModemOver(state, 54, result)) return result;
    if (state == 4) UpdateDisplay(p, namePos);
  }
}

}  // namespace telvaro3
