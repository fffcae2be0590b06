// A program running with its standard input and output on the slave side of a fresh
// pseudo-terminal, for the benchmarks; the master side is the channel to talk to it.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/pty_channel.h"

namespace telvaro3::testing {

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
