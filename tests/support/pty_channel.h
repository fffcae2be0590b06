// Byte channels over Linux descriptors for exercising the YModem engine: one end of a
// pseudo-terminal pair (with a peer program such as sb or rb on the other end) or one end of a
// socket pair (with a second engine on the other end). Header only, so the benchmarks can use it
// as well as the tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ymodem.h"

namespace telvaro3::testing {

// A ByteChannel over a descriptor it owns.
class FdChannel : public serial::ByteChannel {
 public:
  explicit FdChannel(int fd) : fd_(fd) {}
  ~FdChannel() override { Close(); }
  FdChannel(const FdChannel&) = delete;
  FdChannel& operator=(const FdChannel&) = delete;

  int Read(uint8_t* buf, int max, int timeoutMs) override {
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
      int r = ::poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) return 0;
      break;
    }
    for (;;) {
      ssize_t n = ::read(fd_, buf, static_cast<size_t>(max));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return 0;
      if (n <= 0) return -1;  // EIO on a pty whose other end is closed, or end of stream
      return static_cast<int>(n);
    }
  }

  bool Write(const uint8_t* data, int n) override {
    while (n > 0) {
      // A socket whose other end has gone must fail the write, not raise SIGPIPE.
      ssize_t w = ::send(fd_, data, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (w < 0 && errno == ENOTSOCK) w = ::write(fd_, data, static_cast<size_t>(n));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      data += w;
      n -= static_cast<int>(w);
    }
    return true;
  }

  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Two connected channels over a local socket pair.
struct ChannelPair {
  ChannelPair() {
    int sv[2] = {-1, -1};
    ok = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0;
    a = std::make_unique<FdChannel>(sv[0]);
    b = std::make_unique<FdChannel>(sv[1]);
  }
  bool ok;
  std::unique_ptr<FdChannel> a;
  std::unique_ptr<FdChannel> b;
};

// A program running with its stdin and stdout on the slave side of a fresh pseudo-terminal; the
// master side is the channel to talk to it.
class PtyPeer {
 public:
  // Starts argv[0] (looked up in PATH) in directory cwd. stderr goes to errPath (or /dev/null).
  PtyPeer(const std::vector<std::string>& argv, const std::string& cwd,
          const std::string& errPath = "/dev/null") {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    termios t{};
    for (int fd : {master, slave}) {
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    channel_ = std::make_unique<FdChannel>(master);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) ::dup2(err, 2);
      if (slave > 2) ::close(slave);
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(slave);
  }

  ~PtyPeer() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }

  bool started() const { return pid_ > 0 && channel_; }
  FdChannel& channel() { return *channel_; }

  // Exit status of the program (128 + signal when killed), or -1 if it is still running after
  // timeoutMs; it is then killed.
  int Wait(int timeoutMs) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int ws = 0;
      pid_t r = ::waitpid(pid_, &ws, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        return status_;
      }
      if (std::chrono::steady_clock::now() >= end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &ws, 0);
        status_ = 128 + SIGKILL;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  std::unique_ptr<FdChannel> channel_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace telvaro3::testing
