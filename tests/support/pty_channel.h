// Byte channels over Linux descriptors for exercising the YModem engine: one end of a socket pair
// (with a second engine on the other end) or, in the benchmarks, of a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

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
    const int r = TEMP_FAILURE_RETRY(::poll(&p, 1, timeoutMs));
    if (r <= 0) return r;
    const ssize_t n = TEMP_FAILURE_RETRY(::read(fd_, buf, static_cast<size_t>(max)));
    if (n < 0 && errno == EAGAIN) return 0;
    return n > 0 ? static_cast<int>(n) : -1;  // EIO on a pty whose other end is closed, or EOF
  }

  bool Write(const uint8_t* data, int n) override {
    while (n > 0) {
      // A socket whose other end has gone must fail the write, not raise SIGPIPE.
      ssize_t w = TEMP_FAILURE_RETRY(::send(fd_, data, static_cast<size_t>(n), MSG_NOSIGNAL));
      if (w < 0 && errno == ENOTSOCK)
        w = TEMP_FAILURE_RETRY(::write(fd_, data, static_cast<size_t>(n)));
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
  ChannelPair() : ok(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {}
  int sv[2] = {-1, -1};
  bool ok;
  std::unique_ptr<FdChannel> a = std::make_unique<FdChannel>(sv[0]),
                             b = std::make_unique<FdChannel>(sv[1]);
};

}  // namespace telvaro3::testing
