#pragma once

// Test doubles of the platform services: a serial port scripted from the test with a virtual
// clock, a window that records every change, and a system whose clock is the same virtual clock
// while its files are real (in a temporary directory).

#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/program.h"
#include "posix/posix_system.h"
#include "settings/procedures.h"
#include "support/process.h"

namespace telvaro3::test {

// Time as the program sees it in tests: waits advance it instead of sleeping.
struct VirtualClock {
  double now = 1000.0;
};

class FakeComm : public SerialComm {
 public:
  explicit FakeComm(VirtualClock& clock) : clock_(clock) {}

  // Every write of the program, in order ("PortNumber=1", "LineSettings=19200,N,8,1", ...).
  std::vector<std::string> writes;
  // Every byte the program queued for output, in order.
  std::string sent;
  // Called after each OutputData with the data; the test answers with Reply().
  std::function<void(const std::string&)> onOutput;
  // Called whenever the program's time advances with no input waiting.
  std::function<void()> onIdle;
  // Event code the next OutputData leaves behind (1 = sent), reported once its output has left.
  int16_t nextEvent = 1;
  // Program seconds one byte of output stays in the port's queue; the queue drains in order, so
  // a write leaves after all earlier ones. 0: output leaves at once.
  double secondsPerByte = 0;
  // The port's fault once the device has gone (see PortFault); OutputData then fails with it.
  int16_t portFault = 0;
  // Opening fails with this run-time error number when not 0.
  int16_t openError = 0;
  bool openRefused = false;  // opening leaves the port closed
  // Called at every attempt to open the port, before it succeeds or fails.
  std::function<void()> onOpen;

  // Queues bytes that arrive after delaySeconds of program time.
  void Reply(const std::string& bytes, double delaySeconds = 0.0);

  // YModem facility, driven by the test.
  int32_t ymState = 0, ymBytes = 0, ymSize = 0;
  std::string ymPath, ymReceiveDir;
  bool ymCancel = false;
  std::string ymAccepted;  // the path last given to AcceptFile
  TransferFault ymFault = TransferFault::kNone;
  std::function<void()> onTransferPoll;

  void SetPortNumber(int16_t n) override { Log("PortNumber", port_ = n); }
  int16_t PortNumber() const override { return port_; }
  void SetLineSettings(const std::string& s) override { writes.push_back("LineSettings=" + s); }
  void SetInputChunkLength(int32_t v) override { Log("InputChunkLength", v); }
  void SetSetupFlag1(bool v) override { Log("SetupFlag1", v); }
  void SetSetupValue2(int32_t v) override { Log("SetupValue2", v); }
  void SetSetupFlag3(bool v) override { Log("SetupFlag3", v); }
  void SetYModemValue1(int32_t v) override { Log("YModemValue1", v); }
  void SetYModemValue2(int32_t v) override { Log("YModemValue2", v); }
  void SetIrdaFlag(bool v) override { Log("IrdaFlag", v); }
  void SetPortIsOpen(bool open) override;
  bool PortIsOpen() const override { return open_; }
  int32_t InputCount() override;
  std::string InputData() override;
  void OutputData(const std::string& data) override;
  int32_t OutputCount() override {
    if (secondsPerByte <= 0 || drainedAt_ <= clock_.now) return 0;
    return static_cast<int32_t>(std::ceil((drainedAt_ - clock_.now) / secondsPerByte));
  }
  void SetOutputCount(int32_t v) override {
    Log("OutputCount", v);
    if (v == 0) drainedAt_ = clock_.now;
  }
  int16_t EventCode() override { return OutputCount() > 0 ? 0 : event_; }
  int16_t PortFault() override { return portFault; }
  void SetCancelTransfer(bool v) override { Log("CancelTransfer", ymCancel = v); }
  void SendFile(const std::string&) override {}
  void ReceiveDirectory(const std::string& dir) override { ymReceiveDir = dir; }
  void StartReceive(const std::string& name) override { writes.push_back("StartReceive=" + name); }
  int32_t TransferState() override { return Poll(ymState); }
  int32_t TransferBytes() override { return Poll(ymBytes); }
  int32_t TransferSize() override { return ymSize; }
  std::string CurrentFilePath() override { return ymPath; }
  void AcceptFile(const std::string& path) override { ymAccepted = path; }
  TransferFault TransferFailure() override { return ymFault; }
  void WaitInput(int maxMs) override;

 private:
  void Log(const std::string& name, int32_t v) { writes.push_back(name + "=" + std::to_string(v)); }
  int32_t Poll(const int32_t& value) {
    if (onTransferPoll) onTransferPoll();
    return value;
  }
  struct Pending {
    double at;
    std::string bytes;
  };
  VirtualClock& clock_;
  int16_t port_ = 0;
  bool open_ = false;
  int16_t event_ = 0;
  double drainedAt_ = 0;  // when the queued output will have left
  std::deque<Pending> input_;
};

class FakeWindow : public Window {
 public:
  explicit FakeWindow(VirtualClock& clock) : clock_(clock) {}

  // Every visible change, as "<ControlName>: <text>".
  std::vector<std::string> log;
  std::map<std::string, std::string> fields;
  std::string commandCaption = "&Cancel";
  std::vector<std::string> boxes;  // "[title] text"
  // The progress bar, the font size and how often DoEvents ran.
  int progress = 0, fontSize = 0, doEventsCalls = 0;
  bool timerEnabled = false, yesNoAnswer = false, unloaded = false, aboutEnabled = true;
  // Presses Cancel once the program's time reaches this value (never when negative).
  double cancelAt = -1;
  // Called on every DoEvents; may press Cancel through PressCancel().
  std::function<void()> onEvents;
  // Milliseconds spent in WaitEvents, all calls together.
  int64_t waitedMs = 0;

  void PressCancel() { onCancel_ ? onCancel_() : void(); }

  void Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) override {
    onCancel_ = std::move(onCancel);
    onTimer_ = std::move(onTimerTick);
  }
  void SetAboutInfo(const std::string&, const std::string&) override {}
  void SetFontSize(int points) override { fontSize = points; }
  void SetAboutCaption(const std::string&) override {}
  void Show() override {}
  void FocusCommandButton() override {}
  void SetText(Field f, const std::string& text) override {
    const std::string name = FieldName(f);
    if (fields[name] != text || log.empty()) log.push_back(name + ": " + text);
    fields[name] = text;
  }
  std::string Text(Field f) const override {
    return fields.contains(FieldName(f)) ? fields.at(FieldName(f)) : "";
  }
  void SetMsgVisible(bool) override {}
  void SetProgress(int value) override {
    if (value != progress) log.push_back("ProgressBar1: " + std::to_string(value));
    progress = value;
  }
  int ProgressMin() const override { return 0; }
  void SetCommandCaption(const std::string& c) override {
    log.push_back("CommandButton: " + (commandCaption = c));
  }
  void SetAboutEnabled(bool e) override { aboutEnabled = e; }
  void SetTimerEnabled(bool e) override {
    if (e && !timerEnabled) nextTick_ = clock_.now + 3.0;
    timerEnabled = e;
  }
  void DoEvents() override;
  void WaitEvents(int maxMs) override {
    waitedMs += maxMs;
    clock_.now += maxMs / 1000.0;
    DoEvents();
  }
  void MessageBox(const std::string& title, const std::string& text, MsgIcon) override {
    boxes.push_back("[" + title + "] " + text);
  }
  bool AskYesNo(const std::string& title, const std::string& text) override {
    boxes.push_back("[" + title + "] " + text);
    return yesNoAnswer;
  }
  void Unload() override { unloaded = true; }
  // A stop signal: Cancel, and a request that stays.
  void Signal() {
    stopRequested = true;
    PressCancel();
  }
  bool StopRequested() const override { return stopRequested; }
  bool stopRequested = false;

 private:
  void Tick();
  VirtualClock& clock_;
  std::function<void()> onCancel_, onTimer_;
  double nextTick_ = 0;
};

// Real files and directories (paths relative to the test's working directory), virtual time.
class FakeSystem : public posix::PosixSystem {
 public:
  FakeSystem(VirtualClock& clock, const std::string& cwd) : PosixSystem(cwd), clock_(clock) {}
  double Now() override { return clock_.now; }
  void Sleep(int ms) override { clock_.now += ms / 1000.0; }
  LocalTime Clock() override { return time; }
  DiskSpace FreeSpaceOf(const std::string&) override { return space; }
  void RequestPowerOff() override { powerOffRequests++; }
  std::string CommandLine() override { return commandLine; }
  std::string ProgramName() override { return "telvaro3"; }

  // Files on drives A: and B: lead into this real directory when it is set, so that tests of
  // the floppy-drive rules never touch the file-system root.
  std::string driveDir;
  std::string DrivePath(const std::string& path) const {
    const bool floppy =
        path.size() >= 2 && path[1] == ':' && path[0] && std::strchr("AaBb", path[0]);
    return driveDir.empty() || !floppy ? path : driveDir + "/" + path.substr(2);
  }
  std::unique_ptr<TextFile> OpenText(const std::string& path, FileMode mode) override;
  void CommitTogether(const std::vector<TextFile*>& files) override;
  bool CanCreateIn(const std::string& dir) override {
    return PosixSystem::CanCreateIn(DrivePath(dir));
  }

  std::string commandLine;
  // Writes after this many lines fail with error 61, as on a full disk (never when negative).
  int failWritesAfter = -1;
  LocalTime time{2026, 12, 3, 22, 14, 1};
  int powerOffRequests = 0;
  DiskSpace space{true, true, 0, 8, 512, 1000, 100000};

 private:
  VirtualClock& clock_;
};

// The number of the run-time error that action raises, 0 when it raises none.
int16_t RunTimeErrorOf(const std::function<void()>& action);

// A program on test doubles whose current directory is a fresh temporary directory, removed
// afterwards; it starts with the default settings, and Cancel raises its abort flag as the
// program's window does.
struct TestRig {
  TestRig() {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, nullptr);
  }
  TempDir tmp;  // declared first, built first
  std::string dir = tmp.path.string();
  VirtualClock clock;
  FakeComm comm{clock};
  FakeWindow window{clock};
  FakeSystem system{clock, dir};
  Program p{comm, window, system};

  void WriteFile(const std::string& name, const std::string& bytes) { tmp.Write(name, bytes); }
  std::string ReadFile(const std::string& name) const { return Slurp(tmp.Path(name)); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(tmp.path / name); }
};

}  // namespace telvaro3::test
