// A bare partner for the terminal simulator: the block dialogue with the program's waits and
// nothing else. Before every write it sleeps the send delay; a block it expects is slept through
// for its line time once its own answer has left, and the rest of the block and every answer are
// waited for on the device. Its processor time is what the dialogue itself costs on this machine
// (the wake-ups and the pseudo-terminal's work), with no window, no files and no program logic:
// the floor for the program's figures, measured over the same seconds. It runs as a process
// started like the program and tells the link and the result on its standard output as the
// program's text view does, so that the benchmark measures both alike.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class BareDialogue {
 public:
  using Clock = std::chrono::steady_clock;

  // `linked` runs when the link is made, `ended` when the dialogue is over (true: it went through).
  BareDialogue(const std::string& link, int baud, std::function<void()> linked,
               std::function<void(bool)> ended)
      : linked_(std::move(linked)),
        ended_(std::move(ended)),
        fd_(open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)),
        charTime_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / baud))) {
    termios t{};
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
      tcflush(fd_, TCIFLUSH);  // what came before the port was opened, as the program does
    }
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // as the program does on an open port
  }
  ~BareDialogue() {
    if (fd_ >= 0) close(fd_);
  }

  // Answers the simulator's upload: ENQ, the heading, `records` text blocks of `blockLength`
  // characters, EOT (after the program's pause before the last answer).
  bool Receive(int records, size_t headingLength, size_t blockLength) {
    if (!AwaitByte(kEnq)) return Finish(false);
    Answer(kAck);
    linked_();
    if (!Await(headingLength)) return Finish(false);
    Answer(kAck);
    for (int i = 0; i < records; ++i) {
      if (!Await(blockLength)) return Finish(false);
      Answer(kAck);
    }
    if (!AwaitByte(kEot)) return Finish(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Answer(kAck);
    return Finish(ok_);
  }

  // Sends ENQ, the frames (the heading first), EOT, each after its ACK.
  bool Send(const std::vector<std::string>& frames) {
    Answer(kEnq);
    if (!AwaitByte(kAck)) return Finish(false);
    linked_();
    for (const std::string& frame : frames) {
      Answer(frame);
      if (!AwaitByte(kAck)) return Finish(false);
    }
    Answer(kEot);
    if (!AwaitByte(kAck)) return Finish(false);
    return Finish(ok_);
  }

  // A frame: opener, body, ETX and the exclusive-or of everything after the opener.
  static std::string Frame(char opener, const std::string& body) {
    std::string out(1, opener);
    out += body;
    out += kEtx;
    char check = 0;
    for (size_t i = 1; i < out.size(); ++i) check = static_cast<char>(check ^ out[i]);
    return out + check;
  }

  static constexpr char kEtx = 0x03, kEot = 0x04, kEnq = 0x05, kAck = 0x06;

 private:
  void Answer(char c) { Answer(std::string(1, c)); }
  void Answer(const std::string& data) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto now = Clock::now();
    if (write(fd_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) ok_ = false;
    lineBusyUntil_ = std::max(now, lineBusyUntil_) + charTime_ * static_cast<long>(data.size());
  }

  // Waits for `n` characters and takes them; false after 5 s without them.
  bool Await(size_t n) {
    const auto now = Clock::now();
    if (n > 1 && lineBusyUntil_ > now)
      std::this_thread::sleep_until(lineBusyUntil_ + charTime_ * static_cast<long>(n));
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      char buf[512];
      for (ssize_t r; (r = read(fd_, buf, sizeof buf)) > 0;)
        in_.append(buf, static_cast<size_t>(r));
      if (in_.size() >= n) {
        taken_ = in_.substr(0, n);
        in_.erase(0, n);
        return ok_;
      }
      if (Clock::now() >= giveUp) return false;
      pollfd p{fd_, POLLIN, 0};
      const timespec ts{0, 40000000};
      ppoll(&p, 1, &ts, nullptr);
    }
  }

  // Waits for the character `c`, dropping whatever comes before and with it.
  bool AwaitByte(char c) {
    for (int i = 0; i < 1000; ++i) {
      if (!Await(1)) return false;
      if (taken_[0] == c) {
        in_.clear();  // the rest of that chunk goes with it, as in the program's answer wait
        return true;
      }
    }
    return false;
  }

  bool Finish(bool ok) {
    ok = ok && ok_;
    ended_(ok);
    tcdrain(fd_);
    return ok;
  }

  std::function<void()> linked_;
  std::function<void(bool)> ended_;
  int fd_;
  Clock::duration charTime_;
  Clock::time_point lineBusyUntil_{};
  std::string in_;     // read and not yet taken
  std::string taken_;  // what the last wait took
  bool ok_ = true;
};

}  // namespace bench
