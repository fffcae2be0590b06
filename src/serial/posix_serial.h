// The serial port component on a POSIX terminal device (termios), with its YModem facility run
// on a worker thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/serial_comm.h"
#include "serial/ymodem.h"

namespace telvaro3::serial {

// The directory under which the port links live: $XDG_CONFIG_HOME, or ~/.config when that is
// unset or empty. Either argument may be null (the variable is not set).
std::string ConfigHome(const char* xdgConfigHome, const char* home);

// Line settings "baud,parity,data,stop" taken apart. ok is false when any part is outside what
// the component supports (baud 300 to 460800 at the usual steps, parity N/E/O, 7 or 8 data bits,
// 1 or 2 stop bits).
struct LineParams {
  bool ok = false;
  int baud = 0;
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
};
LineParams ParseLineSettings(const std::string& settings);

// Event codes this component leaves after OutputData besides 1 (sent).
inline constexpr int16_t kEventDeviceFailed = 1008;  // the device refused the write (gone, hung up)
inline constexpr int16_t kEventOutputStuck = 1010;   // output could not drain within the limit

// The values written by the program's set-up. The component keeps them; on Linux none of them
// changes how the line works (the line is always raw 8-bit without flow control as set by
// LineSettings), except YModemValue2, which is kept as the retry count hint of the YModem
// facility and otherwise unused.
struct SetupValues {
  int32_t inputChunkLength = 0;
  bool setupFlag1 = false;
  int32_t setupValue2 = 0;
  bool setupFlag3 = false;
  int32_t ymodemValue1 = 0;
  int32_t ymodemValue2 = 0;
  bool irdaFlag = false;
};

class PosixSerialComm : public SerialComm {
 public:
  // configHome: the directory that holds "telvaro3/comN" port links (see ConfigHome).
  // baseDir: where relative program paths of the YModem facility start; the process's current
  // directory when empty.
  explicit PosixSerialComm(std::string configHome, std::string baseDir = "");
  ~PosixSerialComm() override;
  PosixSerialComm(const PosixSerialComm&) = delete;
  PosixSerialComm& operator=(const PosixSerialComm&) = delete;

  // The device that port n opens: the configured link when it exists, else /dev/ttyS{n-1}.
  std::string DevicePath(int16_t n) const;
  const SetupValues& Setup() const { return setup_; }
  const std::string& LineSettings() const { return lineSettings_; }

  void SetPortNumber(int16_t n) override { port_ = n; }
  int16_t PortNumber() const override { return port_; }
  void SetLineSettings(const std::string& settings) override { lineSettings_ = settings; }
  void SetInputChunkLength(int32_t v) override { setup_.inputChunkLength = v; }
  void SetSetupFlag1(bool v) override { setup_.setupFlag1 = v; }
  void SetSetupValue2(int32_t v) override { setup_.setupValue2 = v; }
  void SetSetupFlag3(bool v) override { setup_.setupFlag3 = v; }
  void SetYModemValue1(int32_t v) override { setup_.ymodemValue1 = v; }
  void SetYModemValue2(int32_t v) override { setup_.ymodemValue2 = v; }
  void SetIrdaFlag(bool v) override { setup_.irdaFlag = v; }

  // Opening throws RunTimeError: 68 when the device is missing, busy or refused, 5 for line
  // settings the component does not support, 75 for any other failure.
  void SetPortIsOpen(bool open) override;
  bool PortIsOpen() const override { return fd_ >= 0; }

  int32_t InputCount() override;
  std::string InputData() override;
  // Hands data to the device; the event code is 0 until it has left (see EventCode).
  void OutputData(const std::string& data) override;
  // Characters written and not yet on the line: what the configured line (baud, data, parity
  // and stop bits) cannot yet have carried since the writes, and once that time has passed, what
  // the device's own queue still holds. A pseudo-terminal and some USB adapters report an empty
  // queue at once; the line time keeps "sent" meaning sent there too. Input that comes after a
  // write (the peer's answer) ends both: the peer has had all of it.
  int32_t OutputCount() override;
  // Writing 0 discards the device's queue and forgets the line time still owed.
  void SetOutputCount(int32_t v) override;
  // 1 (sent) only once the output count of the last write has reached 0; an error code when the
  // write failed, or when the device went away before the output had left.
  int16_t EventCode() override;
  // kEventDeviceFailed once a read or write found the device gone (it hung up or reports an I/O
  // error); any look at the input or wait for it notices.
  int16_t PortFault() override { return fd_ >= 0 ? fault_.load() : int16_t{0}; }

  // A cancel with no transfer running leaves a positive state at -1, so that a caller waiting
  // for the state to drop to 0 or below is never stuck behind a finished transfer.
  void SetCancelTransfer(bool v) override;
  void SendFile(const std::string& path) override;
  void ReceiveDirectory(const std::string& dir) override { receiveDir_ = dir; }
  void StartReceive(const std::string& name) override;
  int32_t TransferState() override { return status_.state.load(); }
  int32_t TransferBytes() override { return status_.bytes.load(); }
  int32_t TransferSize() override { return status_.size.load(); }
  std::string CurrentFilePath() override { return status_.CurrentPath(); }
  void AcceptFile(const std::string& path) override { status_.Accept(path); }
  TransferFault TransferFailure() override { return status_.fault.load(); }

  // Also returns when output still on the line should have left, so that a wait for the output
  // count to fall wakes up on time.
  void WaitInput(int maxMs) override;
  // Sleeps through the line time that all the missing characters but the last need at least,
  // then waits as WaitInput does: a block arriving at the line's pace costs a wake-up or two,
  // not one for every piece of it.
  void WaitInputFor(int32_t count, int maxMs) override;

  // True while a YModem worker runs; the port belongs to it meanwhile.
  bool TransferRunning() const { return workerActive_.load(); }

 private:
  class Channel;

  void Close();
  void StopWorker();
  void StartWorker(bool send, const std::string& programPath);
  // Moves what the device holds into the input buffer, at most kDrainLimit bytes; false when
  // the device failed, which also sets the port's fault.
  bool Drain();
  // Notes that the device has gone.
  void Lost() { fault_.store(kEventDeviceFailed); }
  void DrainIfNeeded();
  // Input has come after the last write, which proves that write has left (see OutputCount).
  void OutputAnswered();
  // Characters still queued at `now` by the line time of the writes: not yet begun on the line.
  int32_t CharsOnLine(std::chrono::steady_clock::time_point now) const;
  // Writes all of data within limitMs; 0 when done, else an event code.
  int16_t WriteAll(const uint8_t* data, size_t n, int limitMs);

  std::string configHome_;
  std::string baseDir_;
  int16_t port_ = 1;
  std::string lineSettings_ = "9600,N,8,1";
  // Says on standard error which device did not open and why (the window keeps its fixed
  // text); the same failure again, as continuous mode retries, is said once.
  void TellOpenFailure(const std::string& path, const char* why);
  std::string lastOpenFailure_;
  SetupValues setup_;

  int fd_ = -1;
  // The last wait ended by its time with nothing come, so the next look at the input need not
  // ask the device.
  bool quiet_ = false;
  std::chrono::steady_clock::time_point drainedAt_{};  // the device last found empty
  bool outputGone_ = false;            // the output count reached 0 and nothing was written since
  unsigned long savedTimerSlack_ = 0;  // the thread's timer slack before the port was opened
  std::string input_;                  // bytes read from the device and not yet handed out
  int16_t event_ = 0;
  bool outputPending_ = false;  // a write whose "sent" event is still to come
  // The device has gone (PortFault); set by the YModem worker too while it has the port.
  std::atomic<int16_t> fault_{0};
  // The line as opened: its rate and the bits of one character (start, data, parity, stop).
  int baud_ = 0;
  int bitsPerChar_ = 10;
  // When the line will have carried everything written so far.
  std::chrono::steady_clock::time_point lineBusyUntil_{};

  std::string receiveDir_;
  TransferStatus status_;
  std::unique_ptr<Channel> channel_;
  std::thread worker_;
  std::atomic<bool> workerActive_{false};
  std::atomic<bool> closing_{false};
};

}  // namespace telvaro3::serial
