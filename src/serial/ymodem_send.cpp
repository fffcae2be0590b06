// The sending side of a YModem batch: one file, announced in block 0, its data, the EOT
// exchange and the empty block 0 that closes the batch.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/ymodem.h"
#include "serial/ymodem_line.h"

namespace telvaro3::serial {

namespace {

using namespace ymodem_detail;
namespace fs = std::filesystem;

constexpr int kEotAnswerMs = 2000;  // wait for the answer to an EOT before repeating it
// Many receivers throw away pending input right after they answer, to start the next block on a
// clean line; a block sent the instant the answer arrives would be lost with it. This pause
// before each block lets such a receiver get ready.
constexpr auto kTurnaround = std::chrono::microseconds(1000);
constexpr size_t kFrameMax = 3 + 1024 + 2;

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
    const size_t n = BuildFrame(number, payload, len);
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
  // Builds the frame of a block in frame_: its start byte, number, payload and check value.
  // Returns the frame's length.
  size_t BuildFrame(uint8_t number, const uint8_t* payload, size_t len) {
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
    return n;
  }

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

// The final state of a send that stopped on answer `a`; tells the peer to give up unless it gave
// up itself or the line is dead.
int32_t SendFailure(Sender& s, Line& line, TransferStatus& st, Answer a, bool dataFlowing) {
  switch (a) {
    case Answer::kPeerCancelled:
      return Finish(st, dataFlowing ? kYModemFailed : kYModemStopped);
    case Answer::kLine:
      if (s.lineOutcome == kLineFailed) return Finish(st, kYModemFailed);
      return Abort(line, st);
    default:
      return Abort(line, st);
  }
}

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

// Opens the file to send into `in`. Returns its size, or -1 when it cannot be sent.
int32_t OpenSource(const std::string& path, const std::string& announcedName, std::ifstream& in) {
  std::error_code ec;
  // Only a regular file has a size; anything else (a named pipe would block the opening) is
  // refused before it is opened.
  uint64_t fileSize = fs::file_size(path, ec);
  if (ec || fileSize > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
      announcedName.empty()) {
    return -1;
  }
  in.open(path, std::ios::binary);
  if (!in) return -1;
  return static_cast<int32_t>(fileSize);
}

// Block 0: name, NUL, size in decimal, then the modification time and the mode in octal, so
// that the receiver can give the file its real date; a long name takes a 1024-byte block. kAck
// once the receiver has taken it and asked for the data; kGaveUp for a name too long to send.
Answer SendHeader(Sender& s, TransferStatus& st, const std::string& path,
                  const std::string& announcedName, int32_t size) {
  st.state.store(kYModemHeader);
  std::vector<uint8_t> header(announcedName.begin(), announcedName.end());
  header.push_back(0);
  const std::string sizeText = std::to_string(size) + FileStamp(path);
  header.insert(header.end(), sizeText.begin(), sizeText.end());
  if (header.size() > 1024 || (header.size() > 128 && !s.crc)) return Answer::kGaveUp;
  header.resize(header.size() <= 128 ? 128 : 1024, 0);
  Answer a = s.SendBlock(0, header.data(), header.size());
  if (a != Answer::kAck) return a;
  return s.AwaitRequest(kBlockTimeoutMs);
}

// The data blocks, numbered from 1. kAck once all are acknowledged; kGaveUp also when the file
// could not be read to its size.
Answer SendData(Sender& s, std::ifstream& in, TransferStatus& st, int32_t size) {
  std::array<uint8_t, 1024> block{};
  int32_t sent = 0;
  uint8_t number = 1;
  if (size == 0) st.bytes.store(1);
  while (sent < size) {
    st.state.store(kYModemBusy);
    int32_t rest = size - sent;
    size_t len = (s.crc && rest > 896) ? 1024 : 128;
    size_t take = std::min(len, static_cast<size_t>(rest));
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(take));
    if (static_cast<size_t>(in.gcount()) != take) return Answer::kGaveUp;
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(take), block.end(), kPad);
    Answer a = s.SendBlock(number, block.data(), len);
    if (a != Answer::kAck) return a;
    sent += static_cast<int32_t>(take);
    // The last byte counts as passed only once the receiver has acknowledged the end of the
    // file: until then the program must not take the transfer for done.
    st.bytes.store(sent < size ? sent : size - 1);
    ++number;
  }
  return Answer::kAck;
}

// The file is through; close the batch with an empty block 0. A receiver that does not ask for
// it has the file all the same, so only a cancel from the program fails the transfer here.
int32_t CloseBatch(Sender& s, Line& line, TransferStatus& st) {
  st.state.store(kYModemBetweenFiles);
  const std::array<uint8_t, 128> empty{};
  // A receiver often leaves as soon as it has the empty block, and its last answer can be lost
  // with it; so the closing exchange is kept short.
  Answer a = s.AwaitRequest(kEotAnswerMs);
  if (a == Answer::kAck) a = s.SendBlock(0, empty.data(), empty.size(), 3, 1000);
  if (a == Answer::kLine && s.lineOutcome == kCancelled) return Abort(line, st);
  return Finish(st, kYModemIdle);
}

}  // namespace

int32_t YModemSend(ByteChannel& ch, const std::string& path, const std::string& announcedName,
                   TransferStatus& st, int startTimeoutMs) {
  st.bytes.store(0);
  st.size.store(0);
  st.SetCurrentPath(path);
  st.state.store(kYModemWaitingStart);
  Line line(ch, st);
  Sender s(line);

  std::ifstream in;
  const int32_t size = OpenSource(path, announcedName, in);
  if (size < 0) return Abort(line, st);
  st.size.store(size);

  Answer a = s.AwaitRequest(startTimeoutMs);
  if (a == Answer::kAck) a = SendHeader(s, st, path, announcedName, size);
  if (a != Answer::kAck) return SendFailure(s, line, st, a, false);
  a = SendData(s, in, st, size);
  if (a == Answer::kAck) a = s.SendEot();
  if (a != Answer::kAck) return SendFailure(s, line, st, a, true);
  if (size > 0) st.bytes.store(size);
  return CloseBatch(s, line, st);
}

}  // namespace telvaro3::serial
