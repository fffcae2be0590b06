#include "serial/ymodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "base/system.h"
#include "base/text.h"
#include "posix/incoming_file.h"

namespace telvaro3::serial {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kWantCrc = 'C';
constexpr uint8_t kPad = 0x1A;
constexpr uint8_t kBackspace = 0x08;

constexpr int kRetries = 10;              // attempts per block before giving up
constexpr int kBlockTimeoutMs = 10000;    // wait for a block, or for the answer to one
constexpr int kByteTimeoutMs = 1000;      // gap allowed inside a block
constexpr int kStartRequestMs = 1000;     // first interval of the receiver's start requests
constexpr int kStartRequestMaxMs = 5000;  // the interval they widen to
constexpr int kCheckByteWaitMs = 100;     // wait for a CRC's second byte when the kind is unknown
constexpr int kVerdictPollMs = 5;         // how often a held file looks for the program's word
constexpr int kQuietMs = 100;             // silence that marks the end of line noise
constexpr int kBriefQuietMs = 20;         // the same where only a back-to-back repeat can come
// A block 0 answered within this time cannot have been sent again for want of an answer: no
// sender waits so briefly before it repeats a block.
constexpr auto kRepeatSafe = std::chrono::milliseconds(1000);
constexpr int kEotAnswerMs = 2000;    // wait for the answer to an EOT before repeating it
constexpr int kCancelSliceMs = 50;    // longest wait before the cancel flag is looked at
constexpr int kCancelRepeatMs = 250;  // pause between the two runs of CAN
// Many receivers throw away pending input right after they answer, to start the next block on a
// clean line; a block sent the instant the answer arrives would be lost with it. This pause
// before each block lets such a receiver get ready.
constexpr auto kTurnaround = std::chrono::microseconds(1000);
constexpr size_t kFrameMax = 3 + 1024 + 2;

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

uint8_t Checksum8(const uint8_t* data, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}

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

  // Next byte, or kTimeout / kLineFailed / kCancelled.
  int Get(int timeoutMs) {
    if (pos_ == len_) {
      int r = Fill(timeoutMs);
      if (r < 0) return r;
    }
    return buf_[pos_++];
  }

  // Exactly n bytes into dst; timeoutMs bounds each wait for more input. 0 or a negative outcome.
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

  bool Put(const uint8_t* data, size_t n) { return ch_.Write(data, static_cast<int>(n)); }
  bool Put(uint8_t b) { return Put(&b, 1); }

  // Drops input until the line has been silent for quietMs (bounded by the block time-out, so a
  // babbling line cannot hold the transfer forever). Used after a damaged block, so the answer
  // goes out once the rest of it has passed.
  int Purge(int quietMs) {
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

  // Drops what has already arrived, without waiting.
  void Drain() {
    pos_ = len_ = 0;
    while (ch_.Read(buf_.data(), static_cast<int>(buf_.size()), 0) > 0) {
    }
  }

  // Tells the peer to give up: a run of CAN, then backspaces that erase them should the peer be
  // a terminal showing what it gets. A peer that has just taken a block may throw away the input
  // that came with it, so the run goes out a second time once the line has settled.
  void SendCancel() {
    std::array<uint8_t, 16> seq{};
    std::fill_n(seq.begin(), 8, kCan);
    std::fill_n(seq.begin() + 8, 8, kBackspace);
    if (!Put(seq.data(), seq.size())) return;
    auto end = Clock::now() + std::chrono::milliseconds(kCancelRepeatMs);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
      if (ch_.Read(buf_.data(), static_cast<int>(buf_.size()), static_cast<int>(left.count())) <
          0) {
        return;
      }
    }
    pos_ = len_ = 0;
    Put(seq.data(), seq.size());
  }

 private:
  int Fill(int timeoutMs) {
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

  ByteChannel& ch_;
  TransferStatus& st_;
  std::array<uint8_t, 8192> buf_{};
  size_t pos_ = 0;
  size_t len_ = 0;
};

int32_t Finish(TransferStatus& st, int32_t state) {
  st.state.store(state);
  return state;
}

// The outcome of a transfer that stopped on a negative line outcome: a cancel from the program
// or a dead line. Either way the peer is told to give up.
int32_t Abort(Line& line, TransferStatus& st) {
  line.SendCancel();
  return Finish(st, kTransferFailed);
}

// ---------------------------------------------------------------------------------------------
// Sending

enum class Answer { kAck, kPeerCancelled, kGaveUp, kLine };

class Sender {
 public:
  explicit Sender(Line& line) : line_(line) {}

  bool crc = true;
  int lineOutcome = 0;  // the negative outcome when an answer is kLine

  // Waits for the receiver's request to start a file: 'C' (CRC) or NAK (checksum). kAck when it
  // came.
  Answer AwaitRequest(int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool lastCan = false;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return Answer::kGaveUp;
      int c = line_.Get(static_cast<int>(left.count()));
      if (c == kTimeout) return Answer::kGaveUp;
      if (c < 0) {
        lineOutcome = c;
        return Answer::kLine;
      }
      if (c == kWantCrc || c == kNak) {
        crc = (c == kWantCrc);
        // Requests repeated while we were not yet listening would each ask for the first
        // block again; only the newest counts.
        line_.Drain();
        return Answer::kAck;
      }
      if (c == kCan && lastCan) return Answer::kPeerCancelled;
      lastCan = (c == kCan);
    }
  }

  // Sends one block (payload of 128 or 1024 bytes) until it is acknowledged: at most `tries`
  // times, each answer awaited for answerMs.
  Answer SendBlock(uint8_t number, const uint8_t* payload, size_t len, int tries = kRetries,
                   int answerMs = kBlockTimeoutMs) {
    frame_[0] = (len == 1024) ? kStx : kSoh;
    frame_[1] = number;
    frame_[2] = static_cast<uint8_t>(~number);
    std::copy_n(payload, len, frame_.begin() + 3);
    size_t n = 3 + len;
    if (crc) {
      uint16_t c = YModemCrc16(payload, len);
      frame_[n++] = static_cast<uint8_t>(c >> 8);
      frame_[n++] = static_cast<uint8_t>(c);
    } else {
      frame_[n++] = Checksum8(payload, len);
    }
    for (int attempt = 0; attempt < tries; ++attempt) {
      std::this_thread::sleep_for(kTurnaround);
      if (!line_.Put(frame_.data(), n)) {
        lineOutcome = kLineFailed;
        return Answer::kLine;
      }
      Answer a = AwaitAck(answerMs);
      if (a != Answer::kGaveUp) return a;
    }
    return Answer::kGaveUp;
  }

  // Ends the file: EOT until acknowledged. A receiver may NAK the first EOT to make sure of it.
  // A receiver that NAKs the first EOT clears its input before it listens again, so a repeated
  // EOT waits a little longer than a block does, and a lost one is repeated after two seconds.
  Answer SendEot() {
    for (int attempt = 0; attempt < kRetries; ++attempt) {
      std::this_thread::sleep_for(attempt == 0 ? kTurnaround : std::chrono::milliseconds(50));
      if (!line_.Put(kEot)) {
        lineOutcome = kLineFailed;
        return Answer::kLine;
      }
      Answer a = AwaitAck(kEotAnswerMs);
      if (a != Answer::kGaveUp) return a;
    }
    return Answer::kGaveUp;
  }

 private:
  // Waits for the answer to what was just sent. kGaveUp means "send it again" (NAK, a repeated
  // request, or silence).
  Answer AwaitAck(int timeoutMs = kBlockTimeoutMs) {
    bool lastCan = false;
    for (;;) {
      int c = line_.Get(timeoutMs);
      if (c == kTimeout) return Answer::kGaveUp;
      if (c < 0) {
        lineOutcome = c;
        return Answer::kLine;
      }
      if (c == kAck) return Answer::kAck;
      if (c == kNak || c == kWantCrc) return Answer::kGaveUp;
      if (c == kCan && lastCan) return Answer::kPeerCancelled;
      lastCan = (c == kCan);
    }
  }

  Line& line_;
  std::array<uint8_t, kFrameMax> frame_{};
};

int32_t SendFailure(Sender& s, Line& line, TransferStatus& st, Answer a, bool dataFlowing) {
  switch (a) {
    case Answer::kPeerCancelled:
      return Finish(st, dataFlowing ? kTransferFailed : kTransferStopped);
    case Answer::kLine:
      if (s.lineOutcome == kLineFailed) return Finish(st, kTransferFailed);
      return Abort(line, st);
    default:
      return Abort(line, st);
  }
}

// ---------------------------------------------------------------------------------------------
// Receiving

// What arrived where a block was expected.
enum class Frame { kBlock, kEot, kPeerCancelled, kDamaged, kLine, kTimeout };

// The check value a sender puts behind its blocks. The receiver always asks for CRC-16, but a
// sender may have taken an earlier request (or one of its own settings) for the 8-bit checksum,
// so the first good block decides; the sender keeps to it for the rest of the batch, since every
// later request asks for what that block carried.
enum class Check { kUnknown, kCrc, kSum };

class Receiver {
 public:
  explicit Receiver(Line& line) : line_(line) {}

  Check check = Check::kUnknown;
  int lineOutcome = 0;
  uint8_t number = 0;
  size_t length = 0;
  std::array<uint8_t, 1024> data{};

  // What to send to ask for the next block 0 or for data: 'C' unless the sender has shown that
  // it uses checksums.
  uint8_t Request() const { return check == Check::kSum ? kNak : kWantCrc; }

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
    if (static_cast<uint8_t>(head[0] ^ head[1]) != 0xFF) return Frame::kDamaged;
    if (crc) {
      uint16_t c = YModemCrc16(data.data(), len);
      if (tail[0] != static_cast<uint8_t>(c >> 8) || tail[1] != static_cast<uint8_t>(c)) {
        return Frame::kDamaged;
      }
    } else if (tail[0] != Checksum8(data.data(), len)) {
      return Frame::kDamaged;
    }
    check = crc ? Check::kCrc : Check::kSum;
    number = head[0];
    length = len;
    return Frame::kBlock;
  }

  Line& line_;
};

// The announced name with everything up to its last separator removed; empty when refused.
std::string SafeName(const uint8_t* text, size_t n) {
  std::string full(reinterpret_cast<const char*>(text), n);
  size_t cut = full.find_last_of("/\\");
  std::string name = (cut == std::string::npos) ? full : full.substr(cut + 1);
  if (name.empty() || name == "." || name == "..") return {};
  for (unsigned char c : name) {
    // C0 and C1 control characters and DEL.
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return {};
  }
  return name;
}

struct Header {
  bool endOfBatch = false;
  bool refused = false;
  std::string name;  // program bytes
  bool sizeKnown = false;
  int64_t size = 0;
};

Header ParseHeader(const uint8_t* data, size_t len) {
  Header h;
  if (data[0] == 0) {
    h.endOfBatch = true;
    return h;
  }
  const uint8_t* end = data + len;
  const uint8_t* nul = std::find(data, end, uint8_t{0});
  if (nul == end) {
    h.refused = true;
    return h;
  }
  h.name = SafeName(data, static_cast<size_t>(nul - data));
  if (h.name.empty()) {
    h.refused = true;
    return h;
  }
  const uint8_t* p = nul + 1;
  while (p < end && *p == ' ') ++p;
  int64_t size = 0;
  bool digits = false;
  while (p < end && *p >= '0' && *p <= '9') {
    size = size * 10 + (*p - '0');
    digits = true;
    if (size > std::numeric_limits<int32_t>::max()) {
      h.refused = true;  // the counters the program reads are 32-bit
      return h;
    }
    ++p;
  }
  h.sizeKnown = digits;
  h.size = size;
  return h;
}

std::string DisplayPath(const std::string& displayDir, const std::string& name) {
  if (displayDir.empty() || displayDir.back() == '\\') return displayDir + name;
  return displayDir + '\\' + name;
}

// A file being received: written beside its target and put in place whole, under the
// target's lock (see posix::IncomingFile).
class IncomingFile {
 public:
  // False when dir cannot take the file `name` (UTF-8).
  bool Open(const fs::path& dir, const std::string& name) {
    try {
      file_ = posix::IncomingFile::Open((dir / name).string(), posix::Placement::Replace);
      return true;
    } catch (const RunTimeError&) {
      return false;
    }
  }
  bool Write(const uint8_t* data, size_t n) {
    try {
      file_->Write(reinterpret_cast<const char*>(data), n);
      return true;
    } catch (const RunTimeError&) {
      return false;
    }
  }
  bool Commit() {
    try {
      posix::CommitTogether({file_.get()});
      file_.reset();
      return true;
    } catch (const RunTimeError&) {
      file_.reset();
      return false;
    }
  }

 private:
  std::unique_ptr<posix::IncomingFile> file_;
};

}  // namespace

uint16_t YModemCrc16(const uint8_t* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}

namespace {

// " <modification time> <mode>" in octal as block 0 carries them after the size, the time in
// seconds since 1970; empty when the file cannot be looked at.
std::string FileStamp(const std::string& path) {
  struct stat sb {};
  if (::stat(path.c_str(), &sb) != 0 || sb.st_mtime < 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, " %llo %o", static_cast<unsigned long long>(sb.st_mtime),
                static_cast<unsigned>(sb.st_mode));
  return text;
}

}  // namespace

int32_t YModemSend(ByteChannel& ch, const std::string& path, const std::string& announcedName,
                   TransferStatus& st, int startTimeoutMs) {
  st.bytes.store(0);
  st.size.store(0);
  st.SetCurrentPath(path);
  st.state.store(kTransferWaitingStart);
  Line line(ch, st);
  Sender s(line);

  std::error_code ec;
  // Only a regular file has a size; anything else (a named pipe would block the opening) is
  // refused before it is opened.
  uint64_t fileSize = fs::file_size(path, ec);
  if (ec || fileSize > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
      announcedName.empty()) {
    return Abort(line, st);
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Abort(line, st);
  const auto size = static_cast<int32_t>(fileSize);
  st.size.store(size);

  Answer a = s.AwaitRequest(startTimeoutMs);
  if (a != Answer::kAck) return SendFailure(s, line, st, a, false);

  // Block 0: name, NUL, size in decimal, then the modification time and the mode in octal, so
  // that the receiver can give the file its real date; a long name takes a 1024-byte block.
  st.state.store(kTransferHeader);
  std::vector<uint8_t> header(announcedName.begin(), announcedName.end());
  header.push_back(0);
  const std::string sizeText = std::to_string(size) + FileStamp(path);
  header.insert(header.end(), sizeText.begin(), sizeText.end());
  if (header.size() > 1024 || (header.size() > 128 && !s.crc)) return Abort(line, st);
  header.resize(header.size() <= 128 ? 128 : 1024, 0);
  a = s.SendBlock(0, header.data(), header.size());
  if (a != Answer::kAck) return SendFailure(s, line, st, a, false);
  a = s.AwaitRequest(kBlockTimeoutMs);
  if (a != Answer::kAck) return SendFailure(s, line, st, a, false);

  std::array<uint8_t, 1024> block{};
  int32_t sent = 0;
  uint8_t number = 1;
  if (size == 0) st.bytes.store(1);
  while (sent < size) {
    st.state.store(kTransferBusy);
    int32_t rest = size - sent;
    size_t len = (s.crc && rest > 896) ? 1024 : 128;
    size_t take = std::min(len, static_cast<size_t>(rest));
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(take));
    if (static_cast<size_t>(in.gcount()) != take) return Abort(line, st);
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(take), block.end(), kPad);
    a = s.SendBlock(number, block.data(), len);
    if (a != Answer::kAck) return SendFailure(s, line, st, a, true);
    sent += static_cast<int32_t>(take);
    // The last byte counts as passed only once the receiver has acknowledged the end of the
    // file: until then the program must not take the transfer for done.
    st.bytes.store(sent < size ? sent : size - 1);
    ++number;
  }

  a = s.SendEot();
  if (a != Answer::kAck) return SendFailure(s, line, st, a, true);
  if (size > 0) st.bytes.store(size);

  // The file is through; close the batch with an empty block 0. A receiver that does not ask for
  // it has the file all the same, so only a cancel from the program fails the transfer here.
  st.state.store(kTransferBetweenFiles);
  block.fill(0);
  // A receiver often leaves as soon as it has the empty block, and its last answer can be lost
  // with it; so the closing exchange is kept short.
  a = s.AwaitRequest(kEotAnswerMs);
  if (a == Answer::kAck) a = s.SendBlock(0, block.data(), 128, 3, 1000);
  if (a == Answer::kLine && s.lineOutcome == kCancelled) return Abort(line, st);
  return Finish(st, kTransferIdle);
}

int32_t YModemReceive(ByteChannel& ch, const std::string& dir, const std::string& displayDir,
                      TransferStatus& st, int startTimeoutMs) {
  st.bytes.store(0);
  st.size.store(0);
  st.fault.store(TransferFault::kNone);
  st.state.store(kTransferWaitingStart);
  Line line(ch, st);
  Receiver r(line);
  const fs::path dirPath(dir);

  auto lineFailure = [&]() {
    if (r.lineOutcome == kLineFailed) return Finish(st, kTransferFailed);
    return Abort(line, st);
  };
  auto fail = [&](TransferFault why) {
    st.fault.store(why);
    return Abort(line, st);
  };

  // Nothing can be received without the directory; say so before the sender is asked to start.
  std::error_code ec;
  if (!fs::is_directory(dirPath, ec)) {
    st.fault.store(TransferFault::kFileFailed);
    return Finish(st, kTransferFailed);
  }

  // Start: ask for CRC blocks once a slot for as long as the start wait lasts, until block 0
  // comes; a checksum block is taken as well as a CRC one. The slots widen from one second to
  // kStartRequestMaxMs, because a line may keep the requests for a sender that is not yet
  // listening, and such a sender takes each one it finds as a request to send block 0 again:
  // a sender started half a minute late must find fewer than it will retry.
  Frame f = Frame::kTimeout;
  // Requests sent since the last block 0 came: each may bring a copy of the next one.
  int asked = 0;
  {
    auto end = Clock::now() + std::chrono::milliseconds(startTimeoutMs);
    for (int requests = 0;; ++requests) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return Abort(line, st);
      if (!line.Put(r.Request())) return Finish(st, kTransferFailed);
      ++asked;
      // One request a slot: whatever ends a wait early, the next request waits for the slot's
      // end, so that a line that returns at once can never be flooded with requests.
      const int slotMs =
          std::min(kStartRequestMs << std::clamp(requests - 1, 0, 8), kStartRequestMaxMs);
      const auto slotEnd =
          Clock::now() + std::chrono::milliseconds(std::min<int64_t>(left.count(), slotMs));
      do {
        auto slot = std::chrono::duration_cast<std::chrono::milliseconds>(slotEnd - Clock::now());
        f = r.Next(static_cast<int>(std::max<int64_t>(slot.count(), 1)));
        if (f == Frame::kDamaged) line.Purge(kQuietMs);
      } while (f != Frame::kBlock && f != Frame::kPeerCancelled && f != Frame::kLine &&
               Clock::now() < slotEnd);
      if (f == Frame::kBlock || f == Frame::kPeerCancelled || f == Frame::kLine) break;
    }
  }

  bool firstFile = true;
  for (;;) {
    // f holds what came where block 0 was expected.
    int errors = 0;
    while (!(f == Frame::kBlock && r.number == 0)) {
      if (f == Frame::kPeerCancelled) return Finish(st, kTransferStopped);
      if (f == Frame::kLine) return lineFailure();
      if (f == Frame::kEot) {
        // The end of the previous file, repeated because our ACK got lost.
        const uint8_t again[2] = {kAck, r.Request()};
        if (!line.Put(again, 2)) return Finish(st, kTransferFailed);
        ++asked;
      } else {
        if (++errors >= kRetries) return Abort(line, st);
        if (f == Frame::kDamaged || f == Frame::kBlock) {
          if (line.Purge(kQuietMs) == kCancelled) return Abort(line, st);
        }
        if (!line.Put(f == Frame::kTimeout ? r.Request() : kNak)) {
          return Finish(st, kTransferFailed);
        }
        ++asked;
      }
      f = r.Next(kBlockTimeoutMs);
    }
    const auto announcedAt = Clock::now();

    Header h = ParseHeader(r.data.data(), r.length);
    if (h.endOfBatch) {
      line.Put(kAck);
      return Finish(st, firstFile ? kTransferStopped : kTransferIdle);
    }
    if (h.refused) return fail(TransferFault::kNameRefused);
    firstFile = false;

    // Announce the file, and hold it until the program has judged its name.
    st.bytes.store(0);
    st.size.store(static_cast<int32_t>(h.size));
    st.SetCurrentPath(DisplayPath(displayDir, h.name));
    st.state.store(kTransferHeader);
    while (st.judgeNames.load() && !st.Accepted()) {
      if (st.cancel.load()) return Abort(line, st);
      std::this_thread::sleep_for(std::chrono::milliseconds(kVerdictPollMs));
    }

    const std::string localName = Latin1ToUtf8(h.name);
    IncomingFile file;
    if (!file.Open(dirPath, localName)) return fail(TransferFault::kFileFailed);
    st.bytes.store(h.sizeKnown && h.size == 0 ? 1 : 0);

    // A sender that saw several of our requests sends block 0 once for each, and one left
    // waiting for the answer while the name was judged sends it again; let the repeats pass
    // before answering, so that a single ACK stands for them all. After our only request,
    // answered at once, the one repeat left is for a request still on the line from before,
    // which follows the first copy at once: a short silence rules it out, where the long one
    // would cost every file a tenth of a second.
    const bool repeats = asked > 1 || Clock::now() - announcedAt >= kRepeatSafe;
    if (line.Purge(repeats ? kQuietMs : kBriefQuietMs) == kCancelled) return Abort(line, st);
    const uint8_t startData[2] = {kAck, r.Request()};
    if (!line.Put(startData, 2)) return Finish(st, kTransferFailed);

    int64_t received = 0;
    uint8_t expected = 1;
    bool eotSeen = false;
    errors = 0;
    for (;;) {
      f = r.Next(kBlockTimeoutMs);
      if (f == Frame::kBlock) {
        if (r.number == expected) {
          size_t keep = r.length;
          if (h.sizeKnown) keep = static_cast<size_t>(std::min<int64_t>(keep, h.size - received));
          if (!file.Write(r.data.data(), keep)) return fail(TransferFault::kFileFailed);
          received += static_cast<int64_t>(keep);
          if (received > std::numeric_limits<int32_t>::max()) return Abort(line, st);
          if (!h.sizeKnown) st.size.store(static_cast<int32_t>(received));
          st.bytes.store(static_cast<int32_t>(received));
          st.state.store(kTransferBusy);
          ++expected;
          errors = 0;
          eotSeen = false;
          if (!line.Put(kAck)) return Finish(st, kTransferFailed);
        } else if (r.number == static_cast<uint8_t>(expected - 1)) {
          // Our ACK was lost and the sender repeats the block we have.
          if (!line.Put(kAck)) return Finish(st, kTransferFailed);
        } else {
          // Out of step with the sender: nothing sensible can follow.
          return Abort(line, st);
        }
        continue;
      }
      if (f == Frame::kEot) {
        if (!eotSeen) {
          // Make sure the EOT is not line noise: the sender repeats a real one.
          eotSeen = true;
          if (!line.Put(kNak)) return Finish(st, kTransferFailed);
          continue;
        }
        break;
      }
      if (f == Frame::kPeerCancelled) {
        return Finish(st, received > 0 ? kTransferFailed : kTransferStopped);
      }
      if (f == Frame::kLine) return lineFailure();
      if (++errors >= kRetries) return Abort(line, st);
      if (f == Frame::kDamaged && line.Purge(kQuietMs) == kCancelled) return Abort(line, st);
      if (!line.Put(kNak)) return Finish(st, kTransferFailed);
    }

    // Complete only when every announced byte came.
    if (h.sizeKnown && received < h.size) return Abort(line, st);
    if (!file.Commit()) return fail(TransferFault::kFileFailed);
    if (received > 0) st.bytes.store(static_cast<int32_t>(received));
    st.state.store(kTransferBetweenFiles);
    const uint8_t nextFile[2] = {kAck, r.Request()};
    if (!line.Put(nextFile, 2)) return Finish(st, kTransferFailed);
    asked = 1;
    f = r.Next(kBlockTimeoutMs);
  }
}

}  // namespace telvaro3::serial
