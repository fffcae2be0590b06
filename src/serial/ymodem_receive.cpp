// The receiving side of a YModem batch: the start requests, each file's block 0 and data
// blocks, and the end of each file and of the batch.
#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

#include "base/text.h"
#include "serial/ymodem.h"
#include "serial/ymodem_incoming.h"
#include "serial/ymodem_line.h"

namespace telvaro3::serial {

namespace {

using namespace ymodem_detail;
namespace fs = std::filesystem;

constexpr int kByteTimeoutMs = 1000;      // gap allowed inside a block
constexpr int kStartRequestMs = 1000;     // first interval of the receiver's start requests
constexpr int kStartRequestMaxMs = 5000;  // the interval they widen to
constexpr int kCheckByteWaitMs = 100;     // wait for a CRC's second byte when the kind is unknown
constexpr int kQuietMs = 100;             // silence that marks the end of line noise
constexpr int kBriefQuietMs = 20;         // the same where only a back-to-back repeat can come
// A block 0 answered within this time cannot have been sent again for want of an answer: no
// sender waits so briefly before it repeats a block.
constexpr auto kRepeatSafe = std::chrono::milliseconds(1000);

// What arrived where a block was expected.
enum class Frame { kBlock, kEot, kPeerCancelled, kDamaged, kLine, kTimeout };

// The check value a sender puts behind its blocks. The receiver always asks for CRC-16, but a
// sender may have taken an earlier request (or one of its own settings) for the 8-bit checksum,
// so the first good block decides; the sender keeps to it for the rest of the batch, since every
// later request asks for what that block carried.
enum class Check { kUnknown, kCrc, kSum };

// Reads the frames the sender puts on the line.
class Receiver {
 public:
  explicit Receiver(Line& line) : line_(line) {}

  Check check = Check::kUnknown;
  int lineOutcome = 0;  // the negative outcome when a frame is kLine
  // The last good block: its number and payload.
  uint8_t number = 0;
  size_t length = 0;
  std::array<uint8_t, 1024> data{};

  // What to send to ask for the next block 0 or for data: 'C' unless the sender has shown that
  // it uses checksums.
  uint8_t Request() const { return check == Check::kSum ? kNak : kWantCrc; }

  // Waits up to timeoutMs for the next frame, skipping noise between frames. A good block fills
  // number, length and data, and settles `check`.
  Frame Next(int timeoutMs) {
    bool lastCan = false;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return Frame::kTimeout;
      int c = line_.Get(static_cast<int>(left.count()));
      if (c == kTimeout) return Frame::kTimeout;
      if (c < 0) {
        lineOutcome = c;
        return Frame::kLine;
      }
      if (c == kSoh || c == kStx) return ReadBody(c == kStx ? 1024 : 128);
      if (c == kEot) return Frame::kEot;
      if (c == kCan && lastCan) return Frame::kPeerCancelled;
      lastCan = (c == kCan);
      // Anything else is line noise between blocks.
    }
  }

 private:
  // A block whose check kind is not known yet is told by its length: a sender of checksum
  // blocks stops after the one check byte and waits for the answer, while the second byte of a
  // CRC follows at once. A block cut short or followed by noise fails its check either way and
  // is asked for again.
  Frame ReadBody(size_t len) {
    uint8_t head[2];
    uint8_t tail[2];
    int r = line_.GetN(head, 2, kByteTimeoutMs);
    if (r == 0) r = line_.GetN(data.data(), len, kByteTimeoutMs);
    if (r == 0) r = line_.GetN(tail, 1, kByteTimeoutMs);
    bool crc = check == Check::kCrc;
    if (r == 0 && check == Check::kUnknown) {
      const int c = line_.Get(kCheckByteWaitMs);
      if (c >= 0) {
        tail[1] = static_cast<uint8_t>(c);
        crc = true;
      } else if (c != kTimeout) {
        r = c;
      }
    } else if (r == 0 && crc) {
      r = line_.GetN(tail + 1, 1, kByteTimeoutMs);
    }
    if (r == kTimeout) return Frame::kDamaged;
    if (r < 0) {
      lineOutcome = r;
      return Frame::kLine;
    }
    if (!Intact(head, tail, len, crc)) return Frame::kDamaged;
    check = crc ? Check::kCrc : Check::kSum;
    number = head[0];
    length = len;
    return Frame::kBlock;
  }

  // True when the block number matches its complement and the payload its check value.
  bool Intact(const uint8_t* head, const uint8_t* tail, size_t len, bool crc) const {
    if (static_cast<uint8_t>(head[0] ^ head[1]) != 0xFF) return false;
    if (!crc) return tail[0] == Checksum8(data.data(), len);
    uint16_t c = YModemCrc16(data.data(), len);
    return tail[0] == static_cast<uint8_t>(c >> 8) && tail[1] == static_cast<uint8_t>(c);
  }

  Line& line_;
};

// How far the data of one file has come.
struct DataProgress {
  int64_t received = 0;
  uint8_t expected = 1;  // the number of the next block
  bool eotSeen = false;  // an EOT came and was asked to be repeated
  int errors = 0;        // failed waits in a row
};

// One batch received into a directory. Each phase returns the final state of the transfer when
// it ended it, nothing when the batch goes on.
class BatchReceiver {
 public:
  BatchReceiver(ByteChannel& ch, TransferStatus& st, const std::string& dir,
                const std::string& displayDir)
      : line_(ch, st), r_(line_), st_(st), dir_(dir), displayDir_(displayDir) {}

  // Receives the whole batch. Returns the final state, also stored in the status.
  int32_t Run(int startTimeoutMs) {
    // Nothing can be received without the directory; say so before the sender is asked to start.
    std::error_code ec;
    if (!fs::is_directory(dir_, ec)) {
      st_.fault.store(TransferFault::kFileFailed);
      return Finish(st_, kYModemFailed);
    }
    if (End end = Start(startTimeoutMs)) return *end;
    for (bool firstFile = true;; firstFile = false) {
      if (End end = AwaitHeader()) return *end;
      const auto announcedAt = Clock::now();
      const Header h = ParseHeader(r_.data.data(), r_.length);
      if (h.endOfBatch) {
        line_.Put(kAck);
        return Finish(st_, firstFile ? kYModemStopped : kYModemIdle);
      }
      if (h.refused) return Fail(TransferFault::kNameRefused);
      if (End end = TakeFile(h, announcedAt)) return *end;
    }
  }

 private:
  using End = std::optional<int32_t>;

  End Start(int startTimeoutMs);
  bool AwaitInSlot(Clock::time_point slotEnd);
  End AwaitHeader();
  End TakeFile(const Header& h, Clock::time_point announcedAt);
  End LetThrough(Clock::time_point announcedAt);
  End ReceiveData(const Header& h, ReceivedFile& file, DataProgress& p);
  End TakeBlock(const Header& h, ReceivedFile& file, DataProgress& p);
  End EndFile(const Header& h, ReceivedFile& file, int64_t received);

  // The ends of a transfer: the line found dead or cancelled, a write to it that failed, and a
  // fault of the file or its name.
  int32_t LineFailure() {
    if (r_.lineOutcome == kLineFailed) return Finish(st_, kYModemFailed);
    return Abort(line_, st_);
  }
  int32_t WriteFailed() { return Finish(st_, kYModemFailed); }
  int32_t Fail(TransferFault why) {
    st_.fault.store(why);
    return Abort(line_, st_);
  }

  Line line_;
  Receiver r_;
  TransferStatus& st_;
  const fs::path dir_;
  const std::string& displayDir_;
  Frame f_ = Frame::kTimeout;  // what came where block 0 was expected
  int asked_ = 0;              // requests sent since the last block 0: each may bring a copy
};

// Asks for CRC blocks once a slot for as long as the start wait lasts, until block 0 comes; a
// checksum block is taken as well as a CRC one. The slots widen from one second to
// kStartRequestMaxMs, because a line may keep the requests for a sender that is not yet
// listening, and such a sender takes each one it finds as a request to send block 0 again: a
// sender started half a minute late must find fewer than it will retry.
BatchReceiver::End BatchReceiver::Start(int startTimeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(startTimeoutMs);
  for (int requests = 0;; ++requests) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return Abort(line_, st_);
    if (!line_.Put(r_.Request())) return WriteFailed();
    ++asked_;
    // One request a slot: whatever ends a wait early, the next request waits for the slot's
    // end, so that a line that returns at once can never be flooded with requests.
    const int slotMs =
        std::min(kStartRequestMs << std::clamp(requests - 1, 0, 8), kStartRequestMaxMs);
    if (AwaitInSlot(Clock::now() +
                    std::chrono::milliseconds(std::min<int64_t>(left.count(), slotMs)))) {
      return std::nullopt;
    }
  }
}

// Waits for a frame that decides the start until slotEnd, clearing damaged ones from the line.
// True when one came (left in f_).
bool BatchReceiver::AwaitInSlot(Clock::time_point slotEnd) {
  auto decisive = [](Frame f) {
    return f == Frame::kBlock || f == Frame::kPeerCancelled || f == Frame::kLine;
  };
  do {
    auto slot = std::chrono::duration_cast<std::chrono::milliseconds>(slotEnd - Clock::now());
    f_ = r_.Next(static_cast<int>(std::max<int64_t>(slot.count(), 1)));
    if (f_ == Frame::kDamaged) line_.Purge(kQuietMs);
  } while (!decisive(f_) && Clock::now() < slotEnd);
  return decisive(f_);
}

// Answers what came in f_ until it is a good block 0.
BatchReceiver::End BatchReceiver::AwaitHeader() {
  int errors = 0;
  while (!(f_ == Frame::kBlock && r_.number == 0)) {
    if (f_ == Frame::kPeerCancelled) return Finish(st_, kYModemStopped);
    if (f_ == Frame::kLine) return LineFailure();
    if (f_ == Frame::kEot) {
      // The end of the previous file, repeated because our ACK got lost.
      const uint8_t again[2] = {kAck, r_.Request()};
      if (!line_.Put(again, 2)) return WriteFailed();
    } else {
      if (++errors >= kRetries) return Abort(line_, st_);
      if ((f_ == Frame::kDamaged || f_ == Frame::kBlock) && line_.Purge(kQuietMs) == kCancelled) {
        return Abort(line_, st_);
      }
      if (!line_.Put(f_ == Frame::kTimeout ? r_.Request() : kNak)) return WriteFailed();
    }
    ++asked_;
    f_ = r_.Next(kBlockTimeoutMs);
  }
  return std::nullopt;
}

// One announced file, from the program's verdict on its name to its place in the directory.
BatchReceiver::End BatchReceiver::TakeFile(const Header& h, Clock::time_point announcedAt) {
  if (!AwaitVerdict(st_, h, displayDir_)) return Abort(line_, st_);
  ReceivedFile file;
  if (!file.Open(dir_, Latin1ToUtf8(h.name))) return Fail(TransferFault::kFileFailed);
  st_.bytes.store(h.sizeKnown && h.size == 0 ? 1 : 0);
  if (End end = LetThrough(announcedAt)) return end;
  DataProgress p;
  if (End end = ReceiveData(h, file, p)) return end;
  return EndFile(h, file, p.received);
}

// Acknowledges block 0 and asks for the data. A sender that saw several of our requests sends
// block 0 once for each, and one left waiting for the answer while the name was judged sends it
// again; let the repeats pass before answering, so that a single ACK stands for them all. After
// our only request, answered at once, the one repeat left is for a request still on the line
// from before, which follows the first copy at once: a short silence rules it out, where the
// long one would cost every file a tenth of a second.
BatchReceiver::End BatchReceiver::LetThrough(Clock::time_point announcedAt) {
  const bool repeats = asked_ > 1 || Clock::now() - announcedAt >= kRepeatSafe;
  if (line_.Purge(repeats ? kQuietMs : kBriefQuietMs) == kCancelled) return Abort(line_, st_);
  const uint8_t startData[2] = {kAck, r_.Request()};
  if (!line_.Put(startData, 2)) return WriteFailed();
  return std::nullopt;
}

// Takes data blocks into the file until the sender has ended it with two EOTs.
BatchReceiver::End BatchReceiver::ReceiveData(const Header& h, ReceivedFile& file,
                                              DataProgress& p) {
  for (;;) {
    const Frame f = r_.Next(kBlockTimeoutMs);
    if (f == Frame::kBlock) {
      if (End end = TakeBlock(h, file, p)) return end;
      continue;
    }
    if (f == Frame::kEot) {
      if (p.eotSeen) return std::nullopt;
      // Make sure the EOT is not line noise: the sender repeats a real one.
      p.eotSeen = true;
      if (!line_.Put(kNak)) return WriteFailed();
      continue;
    }
    if (f == Frame::kPeerCancelled) {
      return Finish(st_, p.received > 0 ? kYModemFailed : kYModemStopped);
    }
    if (f == Frame::kLine) return LineFailure();
    if (++p.errors >= kRetries) return Abort(line_, st_);
    if (f == Frame::kDamaged && line_.Purge(kQuietMs) == kCancelled) return Abort(line_, st_);
    if (!line_.Put(kNak)) return WriteFailed();
  }
}

// Stores the good block just read when it is the next one, and acknowledges it or a repeat of
// the one before.
BatchReceiver::End BatchReceiver::TakeBlock(const Header& h, ReceivedFile& file, DataProgress& p) {
  if (r_.number == static_cast<uint8_t>(p.expected - 1)) {
    // Our ACK was lost and the sender repeats the block we have.
    if (!line_.Put(kAck)) return WriteFailed();
    return std::nullopt;
  }
  // Out of step with the sender: nothing sensible can follow.
  if (r_.number != p.expected) return Abort(line_, st_);
  size_t keep = r_.length;
  if (h.sizeKnown) keep = static_cast<size_t>(std::min<int64_t>(keep, h.size - p.received));
  if (!file.Write(r_.data.data(), keep)) return Fail(TransferFault::kFileFailed);
  p.received += static_cast<int64_t>(keep);
  if (p.received > std::numeric_limits<int32_t>::max()) return Abort(line_, st_);
  if (!h.sizeKnown) st_.size.store(static_cast<int32_t>(p.received));
  st_.bytes.store(static_cast<int32_t>(p.received));
  st_.state.store(kYModemBusy);
  ++p.expected;
  p.errors = 0;
  p.eotSeen = false;
  if (!line_.Put(kAck)) return WriteFailed();
  return std::nullopt;
}

// The file is complete only when every announced byte came; then it takes its place, and the
// next block 0 is asked for and waited for.
BatchReceiver::End BatchReceiver::EndFile(const Header& h, ReceivedFile& file, int64_t received) {
  if (h.sizeKnown && received < h.size) return Abort(line_, st_);
  if (!file.Commit()) return Fail(TransferFault::kFileFailed);
  if (received > 0) st_.bytes.store(static_cast<int32_t>(received));
  st_.state.store(kYModemBetweenFiles);
  const uint8_t nextFile[2] = {kAck, r_.Request()};
  if (!line_.Put(nextFile, 2)) return WriteFailed();
  asked_ = 1;
  f_ = r_.Next(kBlockTimeoutMs);
  return std::nullopt;
}

}  // namespace

int32_t YModemReceive(ByteChannel& ch, const std::string& dir, const std::string& displayDir,
                      TransferStatus& st, int startTimeoutMs) {
  st.bytes.store(0);
  st.size.store(0);
  st.fault.store(TransferFault::kNone);
  st.state.store(kYModemWaitingStart);
  BatchReceiver batch(ch, st, dir, displayDir);
  return batch.Run(startTimeoutMs);
}

}  // namespace telvaro3::serial
