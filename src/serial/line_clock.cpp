#include "serial/line_clock.h"

#include <algorithm>
#include <cmath>

namespace telvaro3::serial {

void LineClock::Open(int baud, int bitsPerChar, Time now) {
  baud_ = baud;
  bitsPerChar_ = bitsPerChar;
  busyUntil_ = now;
  outputPending_ = false;
  outputGone_ = false;
  quiet_ = false;
  drainedAt_ = {};
  peerLag_ = {};
}

LineClock::Duration LineClock::LineTime(size_t n) const {
  if (baud_ <= 0) return Duration::zero();
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(
      static_cast<double>(n) * bitsPerChar_ / static_cast<double>(baud_)));
}

void LineClock::Written(size_t n, Time start) {
  busyUntil_ = std::max(start, busyUntil_) + LineTime(n);
  outputPending_ = true;
}

void LineClock::Discarded(Time now) {
  busyUntil_ = now;
  outputPending_ = false;
}

void LineClock::Answered(Time now) {
  // Left as it was, the estimate would run ahead of the clock on a link faster than its rate,
  // and every later write and wait would be timed by it.
  if (busyUntil_ > now) busyUntil_ = now;
  if (outputPending_) outputGone_ = true;
}

int32_t LineClock::CharsOnLine(Time now) const {
  if (baud_ <= 0 || busyUntil_ <= now) return 0;
  const double left = std::chrono::duration<double>(busyUntil_ - now).count();
  // The character being shifted out has left the queue, as on a real port: so a one-character
  // answer is sent the moment it is written, and the block that answers it is waited for
  // without a wake-up in between.
  return static_cast<int32_t>(std::min(std::ceil(left * baud_ / bitsPerChar_) - 1, 1e9));
}

LineClock::Time LineClock::InputDue(size_t missing, Time now) const {
  const bool answering = busyUntil_ > now;
  const Time start = answering ? busyUntil_ : now;
  return start + LineTime(missing - (answering ? 0 : 1)) + peerLag_;
}

void LineClock::InputLooked(bool whole) {
  if (whole) {
    peerLag_ -= peerLag_ / 4;
  } else {
    peerLag_ = std::min<Duration>(peerLag_ + peerLag_ / 4 + kPeerLagStep, kPeerLagLimit);
  }
}

bool LineClock::TakeLook(Time now) {
  // What comes meanwhile ends the next wait at once, and the look after it asks.
  const bool due = !quiet_ && now - drainedAt_ >= LineTime(1);
  quiet_ = false;
  return due;
}

void LineClock::WaitEnded(int pollResult, Time now) {
  quiet_ = pollResult == 0;
  // A wait that saw nothing come found the device as empty as a look would have.
  if (pollResult == 0) drainedAt_ = now;
  if (pollResult > 0) drainedAt_ = {};
}

}  // namespace telvaro3::serial
