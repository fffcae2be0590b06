#include "base/text.h"
#include "link/ymodem_watch.h"
#include "receive/receive.h"
#include "settings/procedures.h"

namespace telvaro3 {

namespace {

// The name of the file the component is on now: what follows the name position in its path.
// Shown when it is new; true then.
bool ShowName(Program& p, size_t namePos) {
  const std::string path = p.comm.CurrentFilePath();
  const std::string name = namePos <= path.size() ? path.substr(namePos) : std::string();
  if (name == p.window.Text(Field::FileBox)) return false;
  p.file.Name = name;
  p.window.SetText(Field::FileBox, name);
  return true;
}

// The current file's size in kilobytes, shown when it is new; true then.
bool ShowSize(Program& p) {
  const std::string sizeText = KiloText(p.comm.TransferSize());
  if (sizeText == p.window.Text(Field::RecordsBox)) return false;
  p.window.SetText(Field::RecordsBox, sizeText);
  return true;
}

// One step of the progress display: a new file name first, then a new size, then the counts.
void UpdateDisplay(Program& p, size_t namePos) {
  Window& w = p.window;
  if (ShowName(p, namePos) || ShowSize(p)) return;
  const int64_t b = p.comm.TransferBytes();
  const int64_t s = p.comm.TransferSize();
  if (b >= 1 && b <= s) {
    w.SetText(Field::RecCntBox, KiloText(b));
    int64_t percent = RoundHalfEven(static_cast<double>(b - 1) / static_cast<double>(s) * 100.0);
    percent = percent < 1 ? 1 : (percent > 100 ? 100 : percent);
    w.SetProgress(static_cast<int>(percent));
    w.SetText(Field::complete, PercentText(percent));
  } else if (b > s) {
    ShowWholeFile(p, s);
  }
}

// The result of a transfer the component has ended in `state`. The display steps above only run
// while the component is seen busy, and it may end between two polls, or before any poll caught
// it busy (a short file): so a good end shows the last file whole here.
int16_t Ended(Program& p, int32_t state, int16_t result, size_t namePos) {
  if (state == kYModemIdle && result == kOk) {
    ShowName(p, namePos);
    ShowSize(p);
    ShowWholeFile(p, p.comm.TransferSize());
  }
  return result;
}

// The code of a component that failed before any data came: the block protocol's codes for the
// same causes where the component knows the cause.
int16_t StartFailure(Program& p) {
  switch (p.comm.TransferFailure()) {
    case TransferFault::kNameRefused:
      return kErrIllegalHeading;
    case TransferFault::kFileFailed:
      return kErrPathNotFound;
    default:
      return kErrGeneralFailure;
  }
}

// The component holds each file it announces until the program has judged the name: what follows
// the name position in the file's path. The first path fixes the name position for the batch.
class NameJudge {
 public:
  explicit NameJudge(Program& p) : p_(p) {}

  size_t namePos = std::string::npos;

  // Judges the announced file's name (once per path) and lets the file through; false when
  // CheckFilename refuses it. An empty path counts as nothing announced yet, unless the data
  // already flow (`flowing`), when it is the name to judge.
  bool Judge(bool flowing = false) {
    const std::string path = p_.comm.CurrentFilePath();
    if (path.empty() && !flowing) return true;
    if (namePos == std::string::npos) {
      const size_t slash = path.rfind('\\');
      namePos = slash == std::string::npos ? 0 : slash + 1;
    }
    if (path != accepted_) {
      p_.file.Name = namePos <= path.size() ? path.substr(namePos) : std::string();
      if (CheckFilename(p_) != 0) return false;
      p_.file.RecordLength = 1024;
      accepted_ = path;
    }
    p_.comm.AcceptFile(path);
    return true;
  }
  bool Judged() const { return namePos != std::string::npos; }

 private:
  Program& p_;
  std::string accepted_;
};

}  // namespace

namespace {

// The start of a reception: waits until data come, the component fails, a name is refused, the
// time-out limit is reached or Cancel is pressed. A refused name is judged while the component
// holds the file unacknowledged, so it is cancelled before any of it is taken, whatever its size.
// Returns kOk once data flow, else the run's result.
int16_t AwaitFirstData(Program& p, NameJudge& judge, int16_t& result) {
  RunState& st = p.state;
  bool refused = false;
  int32_t bytes = 0;
  int32_t state = kYModemIdle;
  do {
    PumpYModem(p, result);
    state = p.comm.TransferState();
    if (state == kYModemHeader && !st.AbortFlag) refused = !judge.Judge();
    bytes = p.comm.TransferBytes();
  } while (!(bytes > 0 || state == kYModemFailed || refused ||
             st.TimeoutCounter == p.settings.TimeoutCount || st.AbortFlag ||
             p.comm.PortFault() != 0));
  p.window.SetTimerEnabled(false);
  if (refused) {
    CancelYModem(p);
    return kErrIllegalHeading;
  }
  if (const int16_t lost = StartLost(p, result); lost != kOk) return lost;
  if (st.TimeoutCounter >= p.settings.TimeoutCount) {
    if (p.comm.TransferState() > kYModemIdle) CancelYModem(p);
    return result != kOk ? result : kErrCommsTimeoutSending;
  }
  if (p.comm.TransferState() == kYModemFailed) return result != kOk ? result : StartFailure(p);
  // A component that let the data come without announcing the file has its name judged now.
  if (!judge.Judged() && !judge.Judge(true)) {
    CancelYModem(p);
    return kErrIllegalHeading;
  }
  return kOk;
}

// The data of the file (and of any further file of the batch) until the component is done.
int16_t FollowTransfer(Program& p, NameJudge& judge, int16_t result) {
  const size_t namePos = judge.namePos;
  for (;;) {
    PumpYModem(p, result);
    const int32_t state = p.comm.TransferState();
    if (YModemOver(state, FailedCode(p, kErrCommsNakLimitSending), result))
      return Ended(p, state, result, namePos);
    // The next file of a batch, announced.
    if (state == kYModemHeader && !p.state.AbortFlag && !judge.Judge()) {
      CancelYModem(p);
      return kErrIllegalHeading;
    }
    if (state == kYModemBusy) UpdateDisplay(p, namePos);
  }
}

}  // namespace

int16_t ReceiveYModem(Program& p) {
  RunState& st = p.state;
  st.ProcName = "ReceiveYModem";
  p.window.SetTimerEnabled(true);
  st.TimeoutCounter = 0;
  st.AbortFlag = false;
  int16_t result = kOk;
  p.comm.ReceiveDirectory(p.file.Directory.empty() ? p.system.CurrentDirectory()
                                                   : p.file.Directory);
  p.comm.StartReceive("");
  NameJudge judge(p);
  if (const int16_t started = AwaitFirstData(p, judge, result); started != kOk) return started;
  p.file.RecordLength = 1024;
  st.ProcName = "ReceiveYModem2";
  p.window.SetText(Field::StatusBox, p.file.ProgramFile ? "Receiving Program " : "Receiving File ");
  return FollowTransfer(p, judge, result);
}

}  // namespace telvaro3
