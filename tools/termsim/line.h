// The serial line as the terminal sees it: a raw tty (or the master side of a pseudo-terminal)
// with optional pacing at a given baud rate, bounded waits and a dialogue log.
#pragma once

#include <chrono>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace termsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

// Thrown out of any wait when the run must end at once: SIGINT/SIGTERM, the overall time limit,
// or a line that has gone away. main() catches it, cleans up and exits.
class Stop : public std::runtime_error {
 public:
  Stop(const std::string& why, int status) : std::runtime_error(why), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Renders line bytes readably: control characters by name, other non-printables in hex.
std::string Describe(std::string_view bytes);

struct LineConfig {
  long paceBaud = 0;     // 0: no pacing; else emulate a line of this many baud (10 bits a char)
  bool silent = false;   // never put anything on the line
  bool verbose = false;  // log the dialogue to stderr
  TimePoint deadline{};  // overall give-up time
  std::string turnLog;   // where to write the turn times at the end ("" none)
};

class Line {
 public:
  // Takes an open, raw, non-blocking fd; does not own it.
  Line(int fd, const LineConfig& config);
  // Writes the turn log, when one was asked for.
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Next received byte (0..255) that has arrived by `until`, or -1 when none has.
  int ReadByte(TimePoint until);
  // Waits until `until`, taking in whatever arrives meanwhile.
  void SleepUntil(TimePoint until);
  void SleepFor(Millis d) { SleepUntil(Clock::now() + d); }
  // Writes bytes no faster than the line rate and returns once the last one has left.
  void Write(std::string_view bytes);
  // Forgets everything received so far (and whatever is waiting in the device).
  void Discard();

  void Log(const std::string& text) const;
  bool verbose() const { return config_.verbose; }
  Clock::duration CharTime() const { return charTime_; }

 private:
  struct Arrival {
    unsigned char byte;
    TimePoint at;
  };
  // Polls the device until `until` or until input comes in; stamps the input with its arrival.
  void Pump(TimePoint until, bool wantOutput = false);
  void CheckStop() const;
  // The line changes hands: `side` starts to send at `start`.
  void TurnTo(char side, TimePoint start);
  void WriteTurnLog() const;

  // One change of hands on the line: how long after the other side's last character was on
  // the line this side's first one started, and how many characters the other side had sent.
  struct Turn {
    char side;  // 'p' the PC, 't' the terminal
    Clock::duration gap;
    size_t answered;
  };

  int fd_;
  LineConfig config_;
  Clock::duration charTime_{0};
  TimePoint lastArrival_{};
  TimePoint lineFree_{};
  TimePoint seen_{};  // when the terminal saw its last character, or its last pause ended
  TimePoint start_;
  std::deque<Arrival> input_;

  char turn_ = 0;         // the side sending now, 0 before anything was sent
  size_t turnChars_ = 0;  // characters it has sent in its turn
  TimePoint turnEnd_{};   // when the last of them was (or will be) on the line
  std::vector<Turn> turns_;
};

}  // namespace termsim
