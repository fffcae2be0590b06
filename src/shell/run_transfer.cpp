#include <exception>
#include <new>

#include "base/text.h"
#include "base/waits.h"
#include "link/link.h"
#include "link/ymodem_watch.h"
#include "receive/receive.h"
#include "send/send.h"
#include "settings/procedures.h"
#include "shell/shell.h"

namespace telvaro3 {

void Form_Load(Program& p) {
  SetDefaults(p);
  p.window.SetFontSize(8);
  p.window.SetAboutCaption("About");
  p.window.SetAboutInfo(p.system.ProgramName(), p.ProgramVersion);
  p.window.SetText(Field::Label1, "Cancel stops the transfer; the result stays shown until Exit.");
  p.window.Bind([&p] { p.state.AbortFlag = true; }, [&p] { Form1_YModemTimer_Timer(p); });
  RunTransfer(p);
}

int16_t OpenPort(Program& p) {
  try {
    p.comm.SetPortIsOpen(true);
  } catch (const RunTimeError& e) {
    return e.Number() == kRteDeviceUnavailable ? kErrPortNotAvailable : kErrPortError;
  }
  return p.comm.PortIsOpen() ? kOk : kErrPortNotAvailable;
}

namespace {

enum class Next { PortSetup, EndOfRun, Shutdown };

// A continuous round that fails sooner than this is followed by a pause of the rest of it, so
// that a port that will not open, or a job that cannot run, is retried about once a second
// instead of as fast as the processor allows.
constexpr double kRetryPauseSeconds = 1.0;

// The settings as the command line left them. Each continuous round starts from them, so that
// what one received heading set (a program file, YModem for a PD4, the record layout, the name)
// does not shape the next round.
struct CommandSettings {
  RunSettings settings;
  TransferFile file;
};

// The component's line set-up from the settings, with the YModem and IrDA variants. An IrDA link
// at 115200 baud opens the port once in between. Returns Next::PortSetup to go on, or where the
// run goes instead (a port that failed to open, a rate IrDA does not have).
Next ConfigurePort(Program& p) {
  const RunSettings& s = p.settings;
  SerialComm& comm = p.comm;
  p.state.SettingsString = s.BaudRate + "," + s.Parity + "," + s.DataBits + "," + s.StopBits;
  comm.SetPortNumber(s.Port);
  comm.SetLineSettings(p.state.SettingsString);
  comm.SetInputChunkLength(0);
  comm.SetSetupFlag1(false);
  comm.SetSetupValue2(1);
  comm.SetSetupFlag3(false);
  if (s.YModem) {
    comm.SetYModemValue1(0);
    comm.SetYModemValue2(3);
    comm.SetCancelTransfer(false);
  }
  if (!s.IrDA) return Next::PortSetup;
  if (s.BaudRate == "9600") {
    comm.SetIrdaFlag(false);
    comm.SetSetupFlag1(true);
  } else if (s.BaudRate == "19200") {
    comm.SetIrdaFlag(true);
    comm.SetSetupFlag1(false);
  } else if (s.BaudRate == "115200") {
    comm.SetSetupFlag1(false);
    p.state.ErrorCode = OpenPort(p);
    if (p.state.ErrorCode != kOk) return Next::EndOfRun;
    FlushInput(p);
    comm.SetPortIsOpen(false);
    comm.SetIrdaFlag(true);
    comm.SetSetupFlag1(true);
  } else {
    p.window.MessageBox(p.system.ProgramName(), "Baud Rate not supported by IRDA interface",
                        MsgIcon::None);
    return Next::Shutdown;
  }
  return Next::PortSetup;
}

// The window as a transfer starts: "Establish Link" and every other field empty.
void ClearTransferFields(Window& w) {
  w.FocusCommandButton();
  w.SetText(Field::StatusBox, "Establish Link");
  w.SetText(Field::FileBox, "");
  w.SetText(Field::RecCntBox, "");
  w.SetText(Field::RecordsBox, "");
  w.SetText(Field::complete, "");
  w.SetText(Field::MsgLabel, "");
  w.SetMsgVisible(true);
  w.SetProgress(w.ProgressMin());
  w.DoEvents();
}

// Steps 4 to 10 of a run: port set-up, opening, dispatch. Returns where the run goes on.
Next SetUpAndTransfer(Program& p, const CommandSettings& command) {
  p.settings = command.settings;
  p.file = command.file;
  if (const Next next = ConfigurePort(p); next != Next::PortSetup) return next;
  p.state.ErrorCode = OpenPort(p);
  if (p.state.ErrorCode != kOk) return Next::EndOfRun;
  if (p.service != nullptr) p.service->PortOpened();

  FlushInput(p);
  ClearTransferFields(p.window);
  // A stop signal that came meanwhile would be forgotten by the first wait of the transfer.
  if (p.window.StopRequested()) {
    p.comm.SetPortIsOpen(false);
    p.state.ErrorCode = kErrCancelled;
    return Next::EndOfRun;
  }

  BeginRound(p);
  const bool ymodem = p.settings.YModem;
  if (p.file.SendMode)
    p.state.ErrorCode = ymodem ? TransmitYModem(p) : TransmitFile(p);
  else
    p.state.ErrorCode = ymodem ? ReceiveYModem(p) : ReceiveFile(p);
  if (p.comm.PortIsOpen()) p.comm.SetPortIsOpen(false);
  return Next::EndOfRun;
}

void CloseEverything(Program& p) {
  try {
    if (p.comm.PortIsOpen()) p.comm.SetPortIsOpen(false);
  } catch (const std::exception&) {
    // The port is going away with the program; nothing more can be done for it.
  }
  for (int16_t n = 1; n < static_cast<int16_t>(p.files.size()); ++n) CloseFile(p, n);
  p.sendSnapshot.reset();
}

// The error number and description of an unexpected failure.
RunTimeError AsRunTimeError(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const RunTimeError& r) {
    return r;
  } catch (const std::bad_alloc&) {
    return RunTimeError(kRteOutOfMemory, RunTimeErrorText(kRteOutOfMemory));
  } catch (const std::exception& x) {
    return RunTimeError(kRteInvalidCall, x.what());
  }
}

// Between two continuous rounds: a round that failed quickly (no port, a command-line error, a
// job that cannot start) shows its result line and is followed by the rest of a second's pause.
// The pause processes the window's events, so Cancel ends it at once.
// Cancel pressed, or a stop asked for from outside.
bool Stopping(Program& p) {
  return p.state.AbortFlag || p.window.StopRequested();
}

void PauseAfterFailedRound(Program& p, double roundStart, const std::string& message) {
  const double until = roundStart + kRetryPauseSeconds;
  if (p.system.Now() >= until) return;
  p.window.SetText(Field::StatusBox, "Transfer Error");
  p.window.SetText(Field::MsgLabel, message);
  while (!Stopping(p)) {
    if (p.service != nullptr) p.service->StillAlive();
    const double left = until - p.system.Now();
    if (left <= 0) break;
    p.window.WaitEvents(static_cast<int>(left * 1000.0) + 1);
  }
}

}  // namespace

namespace {

// Where a run stands between its rounds.
struct RunCourse {
  Next next = Next::PortSetup;
  bool commandRead = false;  // the command line has been read (or its reading failed)
  bool commandKept = false;  // command holds what it set
  bool restarted = false;    // continuous mode restarted once after an unexpected error
  CommandSettings command;
  double roundStart = 0;
};

// The end of a round: continuous mode goes round again, whatever the result, until Cancel;
// otherwise the result is reported and the run ends.
void EndOfRun(Program& p, RunCourse& run) {
  // What the command line read of the file to send is for the first round only: a round that
  // did not send it (its port failed) leaves it to no one, and a later round sends the file as
  // it is then.
  p.sendSnapshot.reset();
  EndRound(p, run.roundStart);
  if (p.settings.Continuous && !Stopping(p)) {
    if (p.state.ErrorCode > kOk)
      PauseAfterFailedRound(p, run.roundStart, ErrorMessage(p, p.state.ErrorCode));
    if (!Stopping(p)) {
      run.next = Next::PortSetup;
      return;
    }
  }
  ReportResult(p);
  run.next = Next::Shutdown;
}

// Reads the command line once, then runs rounds until the run shuts down.
void RunRounds(Program& p, RunCourse& run) {
  if (!run.commandRead) {
    run.commandRead = true;
    p.state.ErrorCode = CheckCommand(p);
    run.command = {p.settings, p.file};
    run.commandKept = true;
    run.next = p.state.ErrorCode != kOk ? Next::EndOfRun : Next::PortSetup;
  }
  while (run.next != Next::Shutdown) {
    if (run.next == Next::PortSetup) {
      run.roundStart = p.system.Now();
      run.next = SetUpAndTransfer(p, run.command);
    }
    if (run.next == Next::EndOfRun) EndOfRun(p, run);
  }
}

// An unexpected error: its message box, and in continuous mode one restart. Returns whether the
// run goes on.
bool AfterUnexpectedError(Program& p, RunCourse& run, const RunTimeError& e) {
  if (!run.commandKept) {
    // The command line failed while it was read: what it had set so far stands.
    run.command = {p.settings, p.file};
    run.commandKept = true;
  }
  p.state.ResultMessage =
      Str(e.Number()) + ": " + e.Description() + " Error in " + std::string(p.state.ProcName);
  CloseEverything(p);
  // The run's result, for a caller that asks for it, unless a restart gives another.
  p.state.ErrorCode = kErrGeneralFailure;
  EndRound(p, run.roundStart, p.state.ResultMessage);
  p.window.MessageBox("TELVARO3 ERROR", p.state.ResultMessage, MsgIcon::Exclamation);
  // One restart in continuous mode; a second failure ends the program.
  if (!p.settings.Continuous || Stopping(p) || run.restarted) return false;
  run.restarted = true;
  PauseAfterFailedRound(p, run.roundStart, p.state.ResultMessage);
  if (Stopping(p)) return false;
  run.next = Next::PortSetup;
  return true;
}

}  // namespace

void RunTransfer(Program& p) {
  p.window.Show();
  p.window.FocusCommandButton();
  RunCourse run;
  run.roundStart = p.system.Now();
  for (;;) {
    try {
      RunRounds(p, run);
      break;
    } catch (...) {
      if (!AfterUnexpectedError(p, run, AsRunTimeError(std::current_exception()))) break;
    }
  }
  CloseEverything(p);
  p.window.Unload();
  if (p.settings.ShutDownAtEnd) p.system.RequestPowerOff();
}

}  // namespace telvaro3
