// The line under a YModem transfer, shared by its sending and receiving sides and by nothing
// else: the protocol's control bytes and times, the check values of its blocks, and buffered
// reading and writing whose every wait a cancel request cuts short.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/codes.h"
#include "serial/ymodem.h"

namespace telvaro3::serial::ymodem_detail {

using Clock = std::chrono::steady_clock;

inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kWantCrc = 'C';
inline constexpr uint8_t kPad = 0x1A;

inline constexpr int kRetries = 10;            // attempts per block before giving up
inline constexpr int kBlockTimeoutMs = 10000;  // wait for a block, or for the answer to one

// The 8-bit checksum of a block's payload: the sum of its bytes. Changes nothing.
uint8_t Checksum8(const uint8_t* data, size_t n);

// Outcome of a wait on the line, besides a byte (0..255).
enum : int {
  kTimeout = -1,
  kLineFailed = -2,
  kCancelled = -3,  // the program asked to break off
};

// Buffered access to the channel: reads come in chunks, so a block costs one or two reads rather
// than one per byte. Every wait is cut into short slices so a cancel request is seen promptly.
class Line {
 public:
  Line(ByteChannel& ch, TransferStatus& st) : ch_(ch), st_(st) {}

  // Returns the next byte, or kTimeout / kLineFailed / kCancelled; takes it from the buffer.
  int Get(int timeoutMs) {
    if (pos_ == len_) {
      int r = Fill(timeoutMs);
      if (r < 0) return r;
    }
    return buf_[pos_++];
  }

  // Copies exactly n bytes into dst; timeoutMs bounds each wait for more input. Returns 0, or
  // the negative outcome that stopped it (dst then holds part of them).
  int GetN(uint8_t* dst, size_t n, int timeoutMs) {
    while (n > 0) {
      if (pos_ == len_) {
        int r = Fill(timeoutMs);
        if (r < 0) return r;
      }
      size_t take = std::min(n, len_ - pos_);
      std::copy_n(buf_.data() + pos_, take, dst);
      pos_ += take;
      dst += take;
      n -= take;
    }
    return 0;
  }

  // Writes the bytes to the peer; false when the port failed.
  bool Put(const uint8_t* data, size_t n) { return ch_.Write(data, static_cast<int>(n)); }
  bool Put(uint8_t b) { return Put(&b, 1); }

  // Drops input until the line has been silent for quietMs (bounded by the block time-out, so a
  // babbling line cannot hold the transfer forever). Used after a damaged block, so the answer
  // goes out once the rest of it has passed. Returns 0, kLineFailed or kCancelled.
  int Purge(int quietMs);

  // Drops what has already arrived, without waiting.
  void Drain();

  // Tells the peer to give up: a run of CAN, then backspaces that erase them should the peer be
  // a terminal showing what it gets, sent twice. Drops the input meanwhile.
  void SendCancel();

 private:
  // Reads the next chunk into the empty buffer. Returns 0, kTimeout, kLineFailed or kCancelled.
  int Fill(int timeoutMs);

  ByteChannel& ch_;
  TransferStatus& st_;
  std::array<uint8_t, 8192> buf_{};
  size_t pos_ = 0;
  size_t len_ = 0;
};

// Ends a transfer: stores `state` as its final state and returns it.
inline int32_t Finish(TransferStatus& st, int32_t state) {
  st.state.store(state);
  return state;
}

// The end of a transfer that stopped on a negative line outcome: a cancel from the program or a
// dead line. Either way the peer is told to give up; returns kYModemFailed, the state stored.
int32_t Abort(Line& line, TransferStatus& st);

}  // namespace telvaro3::serial::ymodem_detail
