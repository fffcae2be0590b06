// The serial port component on a POSIX terminal device (termios), with its YModem facility run
// on a worker thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/codes.h"
#include "base/serial_comm.h"
#include "serial/line_clock.h"
#include "serial/line_settings.h"
#include "serial/ymodem.h"

namespace telvaro3::serial {

// Returns the directory under which the port links live: $XDG_CONFIG_HOME when it is an absolute
// path, else ~/.config. Either argument may be null (the variable is not set).
std::string ConfigHome(const char* xdgConfigHome, const char* home);

// Event codes this component leaves after OutputData besides kEventSent, within the port's
// error range.
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

  // Returns the device that port n opens: the configured link when it exists, else
  // /dev/ttyS{n-1}.
  std::string DevicePath(int16_t n) const;
  // The values the program's set-up wrote, and the line settings, as kept.
  const SetupValues& Setup() const { return setup_; }
  const std::string& LineSettings() const { return lineSettings_; }

  // Keep the port number, the line settings and the set-up values for the next opening; none
  // changes an open port.
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

  // Opens the device of the port number for exclusive use at the line settings, or closes it
  // (letting queued output leave for up to a second, and stopping a transfer). Opening throws
  // RunTimeError: 68 when the device is missing, busy or refused, 5 for line settings the
  // component does not support, 75 for any other failure; the port then stays closed.
  void SetPortIsOpen(bool open) override;
  bool PortIsOpen() const override { return fd_ >= 0; }  // true while the device is open

  // Returns how many received bytes wait to be taken, moving what the device holds into the
  // component first; 0 while closed or while a transfer runs.
  int32_t InputCount() override;
  // Returns the received bytes and forgets them; empty while closed or while a transfer runs.
  std::string InputData() override;
  void TakeInput(std::string& into) override;
  // Hands data to the device; the event code is kEventNone until it has left (see EventCode), or
  // an error code when the write failed.
  void OutputData(const std::string& data) override;
  // Characters written and not yet on the line: what the configured line (baud, data, parity
  // and stop bits) cannot yet have carried since the writes, and once that time has passed, what
  // the device's own queue still holds. A pseudo-terminal and some USB adapters report an empty
  // queue at once; the line time keeps "sent" meaning sent there too. Input that comes after a
  // write (the peer's answer) ends both: the peer has had all of it.
  int32_t OutputCount() override;
  // Writing 0 discards the device's queue and forgets the line time still owed, and with them the
  // pending "sent" event; other values change nothing.
  void SetOutputCount(int32_t v) override;
  // Returns kEventSent only once the output count of the last write has reached 0; an error code
  // when the write failed, or when the device went away before the output had left.
  int16_t EventCode() override;
  // Returns kEventDeviceFailed once a read or write found the device gone (it hung up or reports
  // an I/O error), else kEventNone; any look at the input or wait for it notices.
  int16_t PortFault() override { return fd_ >= 0 ? fault_.load() : int16_t{kEventNone}; }

  // Sets the cancel flag of the transfer. A cancel with no transfer running leaves a state above
  // kYModemIdle at kYModemFailed, so that a caller waiting for the state to drop to kYModemIdle
  // or below is never stuck behind a finished transfer.
  void SetCancelTransfer(bool v) override;
  // Starts sending the file at the program path on the worker; the state is kYModemWaitingStart
  // at once, or kYModemFailed when the port is closed.
  void SendFile(const std::string& path) override;
  // Sets the directory (a program path) the next receive stores into.
  void ReceiveDirectory(const std::string& dir) override { receiveDir_ = dir; }
  // Starts receiving a batch into the receive directory on the worker, each announced file held
  // until AcceptFile; the state as for SendFile.
  void StartReceive(const std::string& name) override;
  // The transfer's progress: its YModemState, the bytes of the current file moved so far, its
  // size, its path in the program's syntax, and why it failed.
  int32_t TransferState() override { return status_.state.load(); }
  int32_t TransferBytes() override { return status_.bytes.load(); }
  int32_t TransferSize() override { return status_.size.load(); }
  std::string CurrentFilePath() override { return status_.CurrentPath(); }
  // Lets the announced file at `path` through (see TransferStatus::Accept).
  void AcceptFile(const std::string& path) override { status_.Accept(path); }
  TransferFault TransferFailure() override { return status_.fault.load(); }

  // Waits up to maxMs for more input to arrive at the device (input already taken in does not end
  // it). Also returns when output still on the line should have left, so that a wait for the
  // output count to fall wakes up on time.
  void WaitInput(int maxMs) override;
  // Sleeps through the line time that all the missing characters but the last need at least,
  // then waits as WaitInput does: a block arriving at the line's pace costs a wake-up or two,
  // not one for every piece of it.
  void WaitInputFor(int32_t count, int maxMs) override;

  // True while a YModem worker runs; the port belongs to it meanwhile.
  bool TransferRunning() const { return workerActive_.load(); }

 private:
  class Channel;

  // Opens the device at path for exclusive use; returns its descriptor. Throws as SetPortIsOpen.
  int OpenDevice(const std::string& path);
  // Takes the configured device fd as the open port: clears what the last one left, starts the
  // line clock at the rate of lp, and sets the thread's timer slack to the finest.
  void Opened(int fd, const LineParams& lp);
  // Stops a transfer, lets queued output leave (up to kCloseDrainLimitMs), releases the device
  // and restores the timer slack. Nothing when closed.
  void Close();
  // Cancels a running transfer and waits for its worker to end.
  void StopWorker();
  // Starts a transfer on a worker thread of its own, after stopping any previous one.
  void StartWorker(bool send, const std::string& programPath);
  // Moves what the device holds into the input buffer, at most kDrainLimit bytes; false when
  // the device failed, which also sets the port's fault.
  bool Drain();
  // Notes that the device has gone.
  void Lost() { fault_.store(kEventDeviceFailed); }
  // Drains unless the line clock says a look at the device would find nothing new.
  void DrainIfNeeded();
  // Returns the bytes the device's own output queue holds; 0 when it cannot tell.
  int DeviceQueue() const;
  // Writes all of data within limitMs; kEventNone when done, else an error event code (and the
  // port's fault when the device has gone).
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
  unsigned long savedTimerSlack_ = 0;  // the thread's timer slack before the port was opened
  std::string input_;                  // bytes read from the device and not yet handed out
  int16_t event_ = kEventNone;
  // The device has gone (PortFault); set by the YModem worker too while it has the port.
  std::atomic<int16_t> fault_{kEventNone};
  // The output's progress on the line at its rate, and when a look at the input must ask the
  // device.
  LineClock clock_;

  std::string receiveDir_;
  TransferStatus status_;
  std::unique_ptr<Channel> channel_;
  std::thread worker_;
  std::atomic<bool> workerActive_{false};
  std::atomic<bool> closing_{false};
};

}  // namespace telvaro3::serial
