#include "base/text.h"
#include "shell/shell.h"

namespace telvaro3 {

std::string ErrorMessage(const Program& p, int16_t code) {
  const std::string comm = " Communications error.";
  switch (code) {
    case 1:
      return "Err(1) File: " + p.file.Name + "  not found.";
    case 2:
      return "Err(2) File name entered in wrong format.";
    case 3:
      return "Err(3) Number of records exceeds 32767.";
    case 4:
      return "Err(4) Field length is out of range.";
    case 5:
      return "Err(5) Number of fields is out of range.";
    case 6:
      return "Err(6) Record length is out of range.";
    case 7:
      return "Err(7) Parameter mismatch.";
    case 8:
      return "Err(8) Field length not found.";
    case 9:
      return "Err(9) Option mismatch.";
    case 51:
    case 52:
    case 53:
    case 54:
    case 55:
      return "Err(" + std::to_string(code) + ")" + comm;
    case 70:
      return "Err(70) Incorrect file or illegal heading.";
    case 71:
      return "Err(71) Path not found.";
    case 72:
      return "Err(72) Disk full.";
    case 79:
      return "Err(79) Quenfor Header Err.";
    case 90:
      return "Err(90) Aborted by Cancel.";
    case 99: {
      const int16_t n = p.state.RunErrNumber;
      std::string m = "Err(99) General Failure";
      if (n <= 0) return m;
      if (n == 55 || n == 70 || n == 71 || n == 75) return m + " (" + std::to_string(n) + ")";
      return m + " Error [" + Str(n) + "E " + Str(p.state.RunErrLine) + " ] " +
             Str(p.state.TransferPhase);
    }
    case 101:
      return "Err(101) Communications Port " + std::to_string(p.comm.PortNumber()) +
             " not available.";
    case 102:
      return "Err(102) Communications Port " + std::to_string(p.comm.PortNumber()) + " error.";
    default:
      return "Error" + Str(code) + " OCCURED";
  }
}

void ReportResult(Program& p) {
  Window& w = p.window;
  RunState& st = p.state;
  if (st.ErrorCode <= 0) {
    st.ResultMessage = p.file.ProgramFile ? "Program " : "File ";
    if (st.TransferPhase == kPhaseDone)
      st.ResultMessage += p.file.SendMode ? "Sent OK" : "Received OK";
    w.SetText(Field::StatusBox, st.ResultMessage);
    w.SetText(Field::MsgLabel, "Err(0) Transfer Complete");
    w.SetCommandCaption("Exit");
    if (p.settings.ExitOnSuccess) return;
  } else {
    st.ResultMessage = ErrorMessage(p, st.ErrorCode);
    w.SetText(Field::StatusBox, "Transfer Error");
    w.SetText(Field::MsgLabel, st.ResultMessage);
    w.SetCommandCaption("OK");
  }
  if (p.settings.NoWait) return;
  st.AbortFlag = false;
  w.FocusCommandButton();
  while (!st.AbortFlag) w.WaitEvents(100);
}

}  // namespace telvaro3
