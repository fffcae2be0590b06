#pragma once

#include <cstdint>
#include <string>

namespace telvaro3 {

// Why the YModem facility's last transfer failed, as far as the PC's side can tell.
enum class TransferFault : int16_t {
  kNone = 0,     // no failure, or one of the line or the peer
  kNameRefused,  // the facility refused the name the sender announced
  kFileFailed,   // the receive directory could not take the file (missing, not writable, full)
};

// The serial port component as the program sees it: line set-up, open and close, input and
// output, event codes, and its own YModem file-transfer facility. Opening a port that cannot be
// had throws RunTimeError (68 when the device is unavailable) or leaves PortIsOpen() false.
class SerialComm {
 public:
  virtual ~SerialComm() = default;

  virtual void SetPortNumber(int16_t n) = 0;
  virtual int16_t PortNumber() const = 0;
  virtual void SetLineSettings(const std::string& settings) = 0;
  virtual void SetInputChunkLength(int32_t v) = 0;
  virtual void SetSetupFlag1(bool v) = 0;
  virtual void SetSetupValue2(int32_t v) = 0;
  virtual void SetSetupFlag3(bool v) = 0;
  virtual void SetYModemValue1(int32_t v) = 0;
  virtual void SetYModemValue2(int32_t v) = 0;
  virtual void SetIrdaFlag(bool v) = 0;

  virtual void SetPortIsOpen(bool open) = 0;
  virtual bool PortIsOpen() const = 0;

  virtual int32_t InputCount() = 0;
  // The waiting characters, removed from the input.
  virtual std::string InputData() = 0;
  // The same into `into`, whose storage a port may keep for the input to come: a receiver takes
  // a block this way for every record.
  virtual void TakeInput(std::string& into) { into = InputData(); }
  // Queues data for sending.
  virtual void OutputData(const std::string& data) = 0;
  virtual int32_t OutputCount() = 0;
  // Writing 0 discards what has not been sent yet.
  virtual void SetOutputCount(int32_t v) = 0;
  // 0 none, 1 sent, 1000 to 1010 errors.
  virtual int16_t EventCode() = 0;
  // 0 while the device works. Once it has gone for good (a cradle unplugged: the device hung up
  // or failed to read or write), the error event of a lost device, until the port is closed:
  // nothing more will come, so a wait must end at once instead of running out its time. Input
  // read before stays readable. Also set while the YModem facility has the port.
  virtual int16_t PortFault() = 0;

  // YModem facility.
  virtual void SetCancelTransfer(bool v) = 0;
  virtual void SendFile(const std::string& path) = 0;
  virtual void ReceiveDirectory(const std::string& dir) = 0;
  virtual void StartReceive(const std::string& name) = 0;
  // -1 failed, 0 idle or done, 1 to 3 waiting, 4 busy, 5 stopped.
  virtual int32_t TransferState() = 0;
  virtual int32_t TransferBytes() = 0;
  virtual int32_t TransferSize() = 0;
  virtual std::string CurrentFilePath() = 0;
  // Receiving: each file the sender announces waits, with TransferState 2 and CurrentFilePath
  // naming it, until AcceptFile is given that path or the transfer is cancelled; nothing of the
  // file is acknowledged or written before.
  virtual void AcceptFile(const std::string& path) = 0;
  virtual TransferFault TransferFailure() = 0;

  // Blocks until more input arrives than InputCount last showed, queued output should have left,
  // or maxMs have passed, so that waits cost no processor time and still see each byte as it
  // lands. Returns at once when the port is closed.
  virtual void WaitInput(int maxMs) = 0;
  // The same, except that input ends the wait only once at least `count` characters are waiting
  // in all, those InputCount showed included: the rest of a block of known length then comes in
  // with one wake-up instead of one for every character. Returns at once when that many are
  // already there.
  virtual void WaitInputFor(int32_t count, int maxMs) {
    if (InputCount() < count) WaitInput(maxMs);
  }
};

}  // namespace telvaro3
