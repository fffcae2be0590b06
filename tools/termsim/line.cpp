#include "line.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace termsim {

namespace {

// The longest a single poll may sleep, so that a pending SIGINT/SIGTERM is noticed promptly.
constexpr Millis kPollSlice{50};
// How far back a write may start: the time this process may lag behind the line.
constexpr std::chrono::microseconds kReactionLimit{1000};
// How much earlier than its time the wait for a write's last slice ends; the rest is spent awake.
constexpr std::chrono::microseconds kLastSliceEarly{100};

const char* ControlName(unsigned char c) {
  static const char* const kNames[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                       "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                       "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                       "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  return c < 32 ? kNames[c] : nullptr;
}

}  // namespace

std::string Describe(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (const char* name = ControlName(c)) {
      out += '<';
      out += name;
      out += '>';
    } else if (c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

Line::Line(int fd, const LineConfig& config) : fd_(fd), config_(config), start_(Clock::now()) {
  if (config_.paceBaud > 0) {
    // Ten bits a character: start bit, eight data bits, stop bit.
    charTime_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / static_cast<double>(config_.paceBaud)));
    // Paced waits end on the microsecond; the kernel's default slack of 50 us on every timed
    // wait would otherwise make each answer and block a little late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  lastArrival_ = lineFree_ = seen_ = start_;
}

Line::~Line() {
  WriteTurnLog();
}

void Line::TurnTo(char side, TimePoint start) {
  if (turn_ == side) return;
  if (turn_ != 0) turns_.push_back({side, start - turnEnd_, turnChars_});
  turn_ = side;
  turnChars_ = 0;
}

void Line::WriteTurnLog() const {
  if (config_.turnLog.empty()) return;
  std::FILE* f = std::fopen(config_.turnLog.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "%s: cannot write %s\n", program_invocation_short_name,
                 config_.turnLog.c_str());
    return;
  }
  for (const Turn& t : turns_) {
    std::fprintf(f, "%s %.3f %zu\n", t.side == 'p' ? "pc" : "terminal",
                 std::chrono::duration<double, std::milli>(t.gap).count(), t.answered);
  }
  std::fclose(f);
}

void Line::CheckStop() const {
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) == 0 &&
      (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)) {
    throw Stop("interrupted by signal", 130);
  }
  if (Clock::now() >= config_.deadline) throw Stop("overall time limit reached", 124);
}

void Line::Pump(TimePoint until, bool wantOutput) {
  CheckStop();
  auto now = Clock::now();
  // Waits are timed to the microsecond: at high rates a block lasts only a few milliseconds.
  auto wait = std::clamp(std::chrono::duration_cast<std::chrono::microseconds>(until - now),
                         std::chrono::microseconds{0}, std::chrono::microseconds{kPollSlice});
  pollfd p{fd_, static_cast<short>(POLLIN | (wantOutput ? POLLOUT : 0)), 0};
  timespec ts{static_cast<time_t>(wait.count() / 1000000),
              static_cast<long>(wait.count() % 1000000) * 1000};
  int n = ::ppoll(&p, 1, &ts, nullptr);
  if (n < 0) {
    if (errno == EINTR) return;
    throw Stop(std::string("poll: ") + std::strerror(errno), 3);
  }
  if (n == 0) return;
  if (p.revents & POLLIN) {
    unsigned char buf[4096];
    ssize_t got = ::read(fd_, buf, sizeof buf);
    if (got > 0) {
      now = Clock::now();
      for (ssize_t i = 0; i < got; ++i) {
        // A byte counts as there once its line time has passed after the previous one.
        lastArrival_ = std::max(now, lastArrival_) + charTime_;
        input_.push_back({buf[i], lastArrival_});
        TurnTo('p', lastArrival_ - charTime_);
        ++turnChars_;
        turnEnd_ = lastArrival_;
      }
      return;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      throw Stop("the line has gone away", 3);
    }
  } else if (p.revents & (POLLERR | POLLNVAL)) {
    throw Stop("the line reports an error", 3);
  } else if ((p.revents & POLLHUP) && !wantOutput) {
    // Nobody holds the other end open at the moment; do not spin on it.
    ::usleep(static_cast<useconds_t>(wait.count()));
  }
}

int Line::ReadByte(TimePoint until) {
  for (;;) {
    auto now = Clock::now();
    if (!input_.empty() && input_.front().at <= now) {
      int c = input_.front().byte;
      // The terminal takes the character the moment it is in, however late this process woke.
      seen_ = input_.front().at;
      input_.pop_front();
      return c;
    }
    if (now >= until) {
      seen_ = until;
      return -1;
    }
    TimePoint next = until;
    if (!input_.empty()) next = std::min(next, input_.front().at);
    Pump(next);
  }
}

void Line::SleepUntil(TimePoint until) {
  while (Clock::now() < until) Pump(until);
  seen_ = until;
}

void Line::Write(std::string_view bytes) {
  if (config_.silent) {
    Log("(silent, not sent) " + Describe(bytes));
    return;
  }
  Log("> " + Describe(bytes));
  // With pacing, send in slices of about 1 ms of line time, each written only when its last
  // character would have arrived on a real line; without it, all at once.
  size_t slice = bytes.size();
  if (config_.paceBaud > 0) slice = static_cast<size_t>(std::max(1L, config_.paceBaud / 10000));
  size_t pos = 0;
  // A terminal reacts within a character time of what it saw. This process may have woken up
  // later than that; its own lag is not the line's, so the write starts when the terminal saw
  // the last character or ended its pause (never long ago, so that a write after a long quiet
  // spell is still paced from now). The characters of one write follow each other without gaps,
  // so a late wake-up for one slice does not delay the ones after it.
  const auto now = Clock::now();
  lineFree_ = std::max(lineFree_, std::clamp(seen_, now - kReactionLimit, now));
  TurnTo('t', lineFree_);
  turnChars_ += bytes.size();
  bool due = false;  // the slice at pos has had its line time
  while (pos < bytes.size()) {
    size_t len = std::min(slice, bytes.size() - pos);
    if (config_.paceBaud > 0 && !due) {
      lineFree_ += charTime_ * static_cast<int64_t>(len);
      if (pos + len == bytes.size()) {
        // The other side reacts to the last slice, so it goes out on time rather than a wake-up's
        // lag late: the sleep ends a little early and the rest is waited out awake.
        SleepUntil(lineFree_ - kLastSliceEarly);
        while (Clock::now() < lineFree_) {
        }
      } else {
        SleepUntil(lineFree_);
      }
      due = true;
    }
    ssize_t done = ::write(fd_, bytes.data() + pos, len);
    if (done < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        Pump(Clock::now() + kPollSlice, true);
        continue;
      }
      throw Stop(std::string("write: ") + std::strerror(errno), 3);
    }
    pos += static_cast<size_t>(done);
    due = false;
  }
  turnEnd_ = config_.paceBaud > 0 ? lineFree_ : Clock::now();
}

void Line::Discard() {
  Pump(Clock::now());
  while (!input_.empty()) {
    input_.clear();
    Pump(Clock::now());
  }
}

void Line::Log(const std::string& text) const {
  if (!config_.verbose) return;
  double t = std::chrono::duration<double>(Clock::now() - start_).count();
  std::fprintf(stderr, "%s %9.3f %s\n", program_invocation_short_name, t, text.c_str());
}

}  // namespace termsim
