// YModem batch transfers over an open serial line.
//
// The serial component runs one of these functions on a worker thread of its own; the program's
// thread follows the transfer through a TransferStatus and breaks it off through its cancel flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/codes.h"
#include "base/serial_comm.h"

namespace telvaro3::serial {

// A byte pipe to the peer (the open serial port). Implemented by the serial component.
class ByteChannel {
 public:
  virtual ~ByteChannel() = default;
  // Reads up to max bytes, waiting at most timeoutMs for the first one. Returns the count,
  // 0 on time-out, -1 when the port failed.
  virtual int Read(uint8_t* buf, int max, int timeoutMs) = 0;
  // Writes all bytes (blocking until queued). False when the port failed.
  virtual bool Write(const uint8_t* data, int n) = 0;
};

// Progress shared between the worker thread running a transfer and the program's thread that
// polls it.
//
// `state` is a YModemState: kYModemFailed also after a cancel from the program and when the peer
// cancels once data flows, kYModemIdle also when done, kYModemHeader while block 0 is exchanged,
// kYModemStopped when the peer cancelled before any data of the file moved, or a receive ended
// with a batch that held no file.
//
// `bytes` counts the bytes of the current file moved so far and turns positive only once data
// flows. An empty file has no data, so its count is set to 1 once its header block has been
// accepted; a watcher waiting for `bytes` > 0 to see the transfer start thus sees it for an empty
// file as well. For every other file `bytes` == `size` at success.
//
// With `judgeNames` set, a receive holds each announced file in kYModemHeader, with its path
// current, until Accept() is given that path (or the cancel flag is set); only then is its block 0
// acknowledged and its temporary file made. `fault` tells why a transfer failed.
struct TransferStatus {
  std::atomic<int32_t> state{kYModemIdle};
  std::atomic<int32_t> bytes{0};
  std::atomic<int32_t> size{0};
  std::atomic<bool> cancel{false};  // set by the program: break off the transfer
  std::atomic<bool> judgeNames{false};
  std::atomic<TransferFault> fault{TransferFault::kNone};

  // Sets a new current path; a file announced under it has not been let through yet.
  void SetCurrentPath(std::string p) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = std::move(p);
    accepted_.clear();
  }
  // Returns the current path: the file being sent or announced, in the program's syntax.
  std::string CurrentPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
  }
  // Lets the announced file through when `p` is still its path. An acceptance that comes late,
  // when the next file has been announced, counts for that one only if it bears the same name,
  // which the same verdict covers.
  void Accept(const std::string& p) {
    std::lock_guard<std::mutex> lock(mutex_);
    accepted_ = p;
  }
  // True once the program has let the file under the current path through.
  bool Accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !path_.empty() && accepted_ == path_;
  }

 private:
  mutable std::mutex mutex_;
  std::string path_;
  std::string accepted_;
};

// Returns the CRC-16 of the YModem blocks (polynomial 0x1021, initial value 0, no reflection).
uint16_t YModemCrc16(const uint8_t* data, size_t n);

// Sends one file as a YModem batch of one: block 0 with name and size, 1024-byte blocks (128-byte
// blocks for a short rest, or throughout when the receiver asks for the 8-bit checksum), the EOT
// exchange, then the empty block 0 that ends the batch. `path` is a real Linux path;
// `announcedName` the name put into block 0. Sets `st` as the transfer goes; returns the final
// state (kYModemIdle ok), also left in st.state.
int32_t YModemSend(ByteChannel& ch, const std::string& path, const std::string& announcedName,
                   TransferStatus& st, int startTimeoutMs);

// Receives a batch into directory `dir` (a real Linux path). Only the last component of each
// announced name is used; an empty name, ".", "..", or one with a control character is refused
// (the transfer is cancelled and fails), so nothing is ever written outside `dir`. Each file is
// written under a hidden temporary name beside its own (".NAME.telvaro3-XXXXXX"), cut to the size
// announced in its block 0, flushed to disk and renamed over its own name only once complete; any
// other end removes the temporary file, so a previous file of that name stays as it was.
// `displayDir` is the receive directory in the program's own syntax; CurrentPath() is
// `displayDir` + name, with a backslash between them where `displayDir` lacks one at its end.
// A missing receive directory fails the transfer at once. Sets `st` as the transfer goes (its
// `fault` says why one failed); returns the final state (kYModemIdle ok), also left in st.state.
int32_t YModemReceive(ByteChannel& ch, const std::string& dir, const std::string& displayDir,
                      TransferStatus& st, int startTimeoutMs);

}  // namespace telvaro3::serial
