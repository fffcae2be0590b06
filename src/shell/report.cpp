#include "base/text.h"
#include "shell/shell.h"

namespace telvaro3 {

std::string ErrorMessage(const Program& p, int16_t code) {
  const std::string comm = " Communications error.";
  switch (code) {
    case kErrFileNotFound:
      return "Err(1) File: " + p.file.Name + "  not found.";
    case kErrFileNameFormat:
      return "Err(2) File name entered in wrong format.";
    case kErrTooManyRecords:
      return "Err(3) Number of records exceeds 32767.";
    case kErrFieldLength:
      return "Err(4) Field length is out of range.";
    case kErrFieldCount:
      return "Err(5) Number of fields is out of range.";
    case kErrRecordLength:
      return "Err(6) Record length is out of range.";
    case kErrParameterMismatch:
      return "Err(7) Parameter mismatch.";
    case kErrFieldLengthNotFound:
      return "Err(8) Field length not found.";
    case kErrOptionMismatch:
      return "Err(9) Option mismatch.";
    case kErrCommsTimeoutReceiving:
    case kErrCommsTimeoutSending:
    case kErrCommsNakLimitReceiving:
    case kErrCommsNakLimitSending:
    case kErrCommsEndedByPeer:
      return "Err(" + std::to_string(code) + ")" + comm;
    case kErrIllegalHeading:
      return "Err(70) Incorrect file or illegal heading.";
    case kErrPathNotFound:
      return "Err(71) Path not found.";
    case kErrDiskFull:
      return "Err(72) Disk full.";
    case kErrHeaderName:
      return "Err(79) Quenfor Header Err.";
    case kErrCancelled:
      return "Err(90) Aborted by Cancel.";
    case kErrGeneralFailure: {
      const int16_t n = p.state.RunErrNumber;
      std::string m = "Err(99) General Failure";
      if (n <= 0) return m;
      if (n == kRteFileAlreadyOpen || n == kRtePermissionDenied || n == kRteDiskNotReady ||
          n == kRtePathFileAccess)
        return m + " (" + std::to_string(n) + ")";
      return m + " Error [" + Str(n) + "E " + Str(p.state.RunErrLine) + " ] " +
             Str(p.state.TransferPhase);
    }
    case kErrPortNotAvailable:
      return "Err(101) Communications Port " + std::to_string(p.comm.PortNumber()) +
             " not available.";
    case kErrPortError:
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
