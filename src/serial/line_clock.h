// The timing of a serial line, apart from the device: what of the output written is still on
// the line at its rate, when a wait should wake up to see it leave, and when a look at the input
// need not ask the device. Every time comes in as a parameter, so its rules hold the same under
// a test's clock as on a port.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace telvaro3::serial {

class LineClock {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // Starts over for a line opened at `now` with the given rate and bits per character (start,
  // data, parity and stop): nothing written, nothing pending, the input never looked at.
  void Open(int baud, int bitsPerChar, Time now);

  // Returns the time n characters take on the line; zero while no rate is known.
  Duration LineTime(size_t n) const;

  // A write begins (also one of the YModem worker): output counted gone is no longer so.
  void Writing() { outputGone_ = false; }
  // The program's write of n characters, begun at `start`, went through: they follow those still
  // on the line without a gap, or start at once on an idle line. Their "sent" event is pending.
  void Written(size_t n, Time start);
  // The device's queue was thrown away at `now`: nothing of it will be on the line, and nothing
  // is waiting to be reported sent.
  void Discarded(Time now);
  // Nothing is waiting to be reported sent any more (reported, failed, or the port closing).
  void Settle() { outputPending_ = false; }
  // True while the last write's "sent" event is still to come.
  bool Pending() const { return outputPending_; }
  // Input came after the last write at `now`: the peer has seen all of it, so nothing is still on
  // the line, and a pending write counts as gone.
  void Answered(Time now);

  // Returns the characters written and not yet on the line at `now`. While the line time runs the
  // device is not asked, as it sends at the line's pace: the count is what the line has still to
  // carry, less the character being shifted out. After that it is what askDevice() says is
  // queued, and once that is 0 (or an answer came) the output stays gone until the next write.
  template <typename AskDevice>
  int32_t OutputCount(Time now, AskDevice&& askDevice) {
    if (outputGone_) return 0;
    if (busyUntil_ > now) return CharsOnLine(now);
    const int queued = askDevice();
    outputGone_ = queued == 0;
    return queued;
  }

  // When a wait for input at `now` should wake up to see pending output leave: at the end of its
  // line time and a moment more, or, once that has passed, when the askDevice() characters still
  // queued should have drained (at least a millisecond on). Nothing when no output is pending or
  // the device holds none of it. Changes nothing.
  template <typename AskDevice>
  std::optional<Time> OutputDue(Time now, AskDevice&& askDevice) const {
    if (!outputPending_) return std::nullopt;
    if (busyUntil_ > now) return busyUntil_ + kOutputGrace;
    const int queued = askDevice();
    if (queued <= 0) return std::nullopt;
    return now + std::max<Duration>(kMinDrainWait, LineTime(static_cast<size_t>(queued)));
  }

  // When `missing` (at least 2) more characters of input should all be in, asked at `now`: the
  // earliest time the line can have carried them (all but the last, as one may be partly in
  // already; except while our own output is still on the line, as input that answers it cannot
  // start before it has left), and the peer's usual lag behind that (see InputLooked).
  Time InputDue(size_t missing, Time now) const;
  // A look at the time InputDue gave found the characters all in (`whole`) or not. A peer lags
  // behind the line time by its own reaction and its adapter's delivery; a look that comes too
  // early costs a wake-up more for the rest, one that comes too late costs line time. So the
  // allowance for the lag grows by a quarter (and a step) after a look too early and shrinks by a
  // quarter after one in time: it settles where about half the looks find everything in, and
  // one look far too early moves it by no more than a quarter.
  void InputLooked(bool whole);

  // Whether a look at the input at `now` must ask the device: not right after a wait that saw
  // nothing come, nor within a character's time of such a wait or of a look that found the
  // device empty. Uses up the quiet of the last wait.
  bool TakeLook(Time now);
  // A look asked the device at `now` and took all it had.
  void Looked(Time now) {
    quiet_ = false;
    drainedAt_ = now;
  }
  // A look found the device failed.
  void LookFailed() {
    quiet_ = false;
    drainedAt_ = {};
  }
  // A wait for input ended at `now` with `pollResult`: 0 its time ran out with nothing come, so the
  // next look need not ask the device, nor any other within a character's time; positive input
  // came, so the next look must; negative it was interrupted.
  void WaitEnded(int pollResult, Time now);

 private:
  // How long after its output should have left a wait still waits for input: the answer to a
  // block comes right after it has left, and when it lands within this moment it ends the wait
  // itself, so the wait for the block to leave and the one for its answer take one wake-up.
  static constexpr auto kOutputGrace = std::chrono::milliseconds(2);
  static constexpr auto kMinDrainWait = std::chrono::milliseconds(1);
  static constexpr auto kPeerLagStep = std::chrono::microseconds(10);
  // A peer that stalls now and then must not push every later look far out.
  static constexpr auto kPeerLagLimit = std::chrono::milliseconds(10);

  int32_t CharsOnLine(Time now) const;

  int baud_ = 0;
  int bitsPerChar_ = 10;
  Time busyUntil_{};            // when the line will have carried everything written so far
  bool outputPending_ = false;  // a write whose "sent" event is still to come
  bool outputGone_ = false;     // the output count reached 0 and nothing was written since
  // The last wait ended by its time with nothing come, so the next look need not ask the device.
  bool quiet_ = false;
  Time drainedAt_{};    // the device last found empty
  Duration peerLag_{};  // how long after the line time the peer's input is usually all in
};

}  // namespace telvaro3::serial
