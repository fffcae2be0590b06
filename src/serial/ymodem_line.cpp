#include "serial/ymodem_line.h"

namespace telvaro3::serial {

namespace {

constexpr uint8_t kBackspace = 0x08;
constexpr int kCancelSliceMs = 50;    // longest wait before the cancel flag is looked at
constexpr int kCancelRepeatMs = 250;  // pause between the two runs of CAN

// Table of the CRC-16 for one byte, built at compile time.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b) {
      c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
    }
    t[static_cast<size_t>(i)] = c;
  }
  return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t YModemCrc16(const uint8_t* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}

namespace ymodem_detail {

uint8_t Checksum8(const uint8_t* data, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}

int Line::Purge(int quietMs) {
  pos_ = len_ = 0;
  auto end = Clock::now() + std::chrono::milliseconds(kBlockTimeoutMs);
  while (Clock::now() < end) {
    int r = Fill(quietMs);
    if (r == kTimeout) return 0;
    if (r < 0) return r;
    pos_ = len_ = 0;
  }
  return 0;
}

void Line::Drain() {
  pos_ = len_ = 0;
  while (ch_.Read(buf_.data(), static_cast<int>(buf_.size()), 0) > 0) {
  }
}

void Line::SendCancel() {
  // A peer that has just taken a block may throw away the input that came with it, so the run
  // goes out a second time once the line has settled.
  std::array<uint8_t, 16> seq{};
  std::fill_n(seq.begin(), 8, kCan);
  std::fill_n(seq.begin() + 8, 8, kBackspace);
  if (!Put(seq.data(), seq.size())) return;
  auto end = Clock::now() + std::chrono::milliseconds(kCancelRepeatMs);
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (ch_.Read(buf_.data(), static_cast<int>(buf_.size()), static_cast<int>(left.count())) < 0) {
      return;
    }
  }
  pos_ = len_ = 0;
  Put(seq.data(), seq.size());
}

int Line::Fill(int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    if (st_.cancel.load()) return kCancelled;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    int slice = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kCancelSliceMs));
    int r = ch_.Read(buf_.data(), static_cast<int>(buf_.size()), slice);
    if (r < 0) return kLineFailed;
    if (r > 0) {
      pos_ = 0;
      len_ = static_cast<size_t>(r);
      return 0;
    }
    if (Clock::now() >= end) return kTimeout;
  }
}

int32_t Abort(Line& line, TransferStatus& st) {
  line.SendCancel();
  return Finish(st, kYModemFailed);
}

}  // namespace ymodem_detail

}  // namespace telvaro3::serial
