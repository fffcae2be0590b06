// A relay between two pseudo-terminal masters that carries each direction at a serial line's
// pace: a byte takes bitsPerChar / baud seconds on the line, and bytes queue behind each other as
// they would on a wire. Bytes are handed on in small batches, but the last byte of whatever was
// written is handed on at the very moment the line would have finished it, so a stop-and-wait
// exchange sees the wire's timing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>

namespace telvaro3::testing {

class PacedRelay {
 public:
  using Clock = std::chrono::steady_clock;

  // a and b are the masters; they are made non-blocking and stay owned by the caller.
  PacedRelay(int a, int b, int baud, int bitsPerChar = 10)
      : byteTime_(std::chrono::nanoseconds(1000000000LL * bitsPerChar / baud)) {
    ways_[0].from = ways_[1].to = a;
    ways_[0].to = ways_[1].from = b;
    for (int fd : {a, b}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }

  // Carries bytes until stop is set (looked at at least every 50 ms) or a side fails.
  void Run(const std::atomic<bool>& stop) {
    // The wake-ups are the line's timing; the default slack of the timer would blur them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stop.load()) {
      auto now = Clock::now();
      for (auto& w : ways_) Deliver(w, now);
      auto due =
          std::min({NextDue(ways_[0]), NextDue(ways_[1]), now + std::chrono::milliseconds(50)});
      auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::max<Clock::duration>(due - now, Clock::duration::zero()));
      const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                        static_cast<long>(wait.count() % 1000000000)};
      pollfd p[2] = {{ways_[0].from, POLLIN, 0}, {ways_[1].from, POLLIN, 0}};
      int r = ::ppoll(p, 2, &ts, nullptr);
      if (r < 0 && errno != EINTR) return;
      now = Clock::now();
      for (int i = 0; i < 2; ++i) {
        if ((p[i].revents & POLLIN) != 0) {
          if (!Take(ways_[i], now)) return;
        } else if ((p[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
          return;  // a side has gone; carrying on would spin on it
        }
      }
    }
  }

  // Bytes handed on that were written on side 0 (a) or 1 (b).
  uint64_t Carried(int side) const { return ways_[side].carried; }
  Clock::time_point FirstByte() const { return first_; }
  // Line time of n bytes.
  std::chrono::nanoseconds LineTime(uint64_t n) const {
    return byteTime_ * static_cast<int64_t>(n);
  }

 private:
  // Bytes handed on at once while more of the same write follow: about 3 ms at 115200.
  static constexpr size_t kBatch = 32;

  struct Piece {
    std::vector<uint8_t> bytes;
    Clock::time_point start;  // when its first byte began on the line
    size_t done = 0;          // bytes of it handed on
  };
  struct Way {
    int from = -1;
    int to = -1;
    std::deque<Piece> queue;
    Clock::time_point lineFree{};  // when the line has finished all that is queued
    uint64_t carried = 0;
  };

  bool Take(Way& w, Clock::time_point now) {
    Piece p;
    p.bytes.resize(4096);
    ssize_t n = ::read(w.from, p.bytes.data(), p.bytes.size());
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    if (first_ == Clock::time_point{}) first_ = now;
    p.bytes.resize(static_cast<size_t>(n));
    p.start = std::max(now, w.lineFree);
    w.lineFree = p.start + byteTime_ * n;
    w.queue.push_back(std::move(p));
    return true;
  }

  // Hands on what the line has finished by now. What the other side cannot take is lost, as
  // on a line whose receiver does not read.
  void Deliver(Way& w, Clock::time_point now) {
    while (!w.queue.empty()) {
      Piece& p = w.queue.front();
      auto finished = static_cast<size_t>(std::max<int64_t>((now - p.start) / byteTime_, 0));
      finished = std::min(finished, p.bytes.size());
      if (finished > p.done) {
        ssize_t n = ::write(w.to, p.bytes.data() + p.done, finished - p.done);
        (void)n;
        w.carried += finished - p.done;
        p.done = finished;
      }
      if (p.done < p.bytes.size()) return;
      w.queue.pop_front();
    }
  }

  Clock::time_point NextDue(const Way& w) const {
    if (w.queue.empty()) return Clock::time_point::max();
    const Piece& p = w.queue.front();
    size_t k = std::min(p.bytes.size() - p.done, kBatch);
    return p.start + byteTime_ * static_cast<int64_t>(p.done + k);
  }

  std::chrono::nanoseconds byteTime_;
  Way ways_[2];
  Clock::time_point first_{};
};

}  // namespace telvaro3::testing
