// The YModem receiver on whatever a sender puts on the line: the input is the sender's side of
// the exchange, cut into chunks (see harness.h). The sender answers each write of the receiver
// with the next chunk (and those that go with it), after the chunk's delay; once every chunk has
// been read the line hangs up.
//
// The receiver times its waits with the monotonic clock. Real waits would make each execution
// take seconds, so this program gives the monotonic clock a virtual time while a reception runs:
// the channel moves it on by the wait asked for whenever the line is silent.

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "serial/ymodem.h"

using namespace telvaro3;

namespace {

// The one piece of process-wide state here, and it has to be: the clock is read through the C
// library, which knows nothing of the channel. 0: real time.
std::atomic<int64_t> virtualNanos{0};

class ScriptedLine : public serial::ByteChannel {
 public:
  ScriptedLine(std::vector<fuzz::Chunk> chunks, serial::TransferStatus& st,
               const std::filesystem::path& dir, fuzz::Snapshot& committed)
      : chunks_(std::move(chunks)), st_(st), dir_(dir), committed_(committed) {}

  int Read(uint8_t* buf, int max, int timeoutMs) override {
    Advance(1);  // nothing on the line takes no time at all
    if (next_ == released_) {
      if (released_ == chunks_.size()) return -1;  // the sender has hung up
      Advance(timeoutMs);                          // it waits for the receiver
      return 0;
    }
    fuzz::Chunk& c = chunks_[next_];
    if (virtualNanos < arrival_) {
      Advance(
          static_cast<int>(std::min<int64_t>(timeoutMs, (arrival_ - virtualNanos) / 1000000 + 1)));
      return 0;
    }
    const size_t n = std::min(c.bytes.size() - offset_, static_cast<size_t>(max));
    std::copy_n(c.bytes.data() + offset_, n, buf);
    offset_ += n;
    if (offset_ == c.bytes.size()) {
      offset_ = 0;
      if (++next_ < released_) arrival_ = virtualNanos + Nanos(chunks_[next_]);
    }
    return static_cast<int>(n);
  }

  bool Write(const uint8_t*, int) override {
    // The receiver says something between two files only once the first is in its place: what
    // the directory holds then is what any later end must leave.
    const bool between = st_.state.load() == kYModemBetweenFiles;
    if (between && !wasBetween_) committed_ = fuzz::Take(dir_);
    wasBetween_ = between;
    // The sender answers: the next chunk, with those that go with it.
    if (released_ < chunks_.size()) {
      if (next_ == released_) arrival_ = virtualNanos + Nanos(chunks_[released_]);
      do ++released_;
      while (released_ < chunks_.size() && chunks_[released_].withPrevious);
    }
    return true;
  }

 private:
  static void Advance(int ms) { virtualNanos += int64_t{std::max(ms, 0)} * 1000000; }
  static int64_t Nanos(const fuzz::Chunk& c) { return static_cast<int64_t>(c.delaySeconds * 1e9); }

  std::vector<fuzz::Chunk> chunks_;
  size_t next_ = 0, offset_ = 0;  // the chunk being read, and how far
  size_t released_ = 0;           // chunks the sender has sent so far
  int64_t arrival_ = 0;           // when the chunk next_ starts to arrive
  serial::TransferStatus& st_;
  std::filesystem::path dir_;
  fuzz::Snapshot& committed_;
  bool wasBetween_ = false;
};

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
  const int64_t v = virtualNanos.load();
  if (v != 0 && (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_BOOTTIME)) {
    ts->tv_sec = static_cast<time_t>(v / 1000000000);
    ts->tv_nsec = static_cast<long>(v % 1000000000);
    return 0;
  }
  return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  const fuzz::Snapshot before = {{"DATA.TXT", "OLD1\r\nOLD2\r\n"}, {"f.bin", "previous"}};
  ws.Reset(before);

  fuzz::Snapshot committed = before;
  serial::TransferStatus st;
  ScriptedLine line(fuzz::SplitChunks(std::string_view(reinterpret_cast<const char*>(data), size)),
                    st, ws.recv, committed);
  virtualNanos = int64_t{1000000} * 1000000000;
  const int32_t state = serial::YModemReceive(line, ws.recv.string(), "C:\\IN", st, 60000);
  virtualNanos = 0;
  fuzz::Show("state %d, %s", state, committed == before ? "directory as before" : "files came in");

  fuzz::Check(state == kYModemIdle || state == kYModemFailed || state == kYModemStopped,
              "unexpected end state", state);
  fuzz::Check(st.state.load() == state, "the status disagrees with the result", st.state.load());
  ws.CheckOutside();
  // Whatever the end, the directory holds the files completed before it, and nothing else: no
  // temporary file, no part of the file that was coming in.
  fuzz::Check(fuzz::Take(ws.recv) == committed,
              "the directory is not as the last complete file left it");
  return 0;
}
