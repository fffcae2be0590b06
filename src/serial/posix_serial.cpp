#include "serial/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/system.h"
#include "posix/posix_system.h"

namespace telvaro3::serial {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kOutputLimitMs = 10000;  // longest time OutputData waits for the device to take data
constexpr int kClosingOutputLimitMs = 500;  // the same while the port is being closed
// How long closing the port waits for the device to send what is still queued: the last answer
// of a transfer (the ACK to the terminal's EOT) must reach the terminal.
constexpr int kCloseDrainLimitMs = 1000;
// The program decides itself when a YModem start has taken too long (and then closes the port,
// which cancels the transfer), so the facility's own start wait is practically unbounded.
constexpr int kYModemStartWaitMs = INT_MAX;
// How long after its output should have left a wait still waits for input (see WaitInput).
constexpr auto kOutputGrace = std::chrono::milliseconds(2);
// The most one look at the input moves from the device: a line that never stops talking must
// not hold a look forever, and what a look leaves stays in the device for the next one.
constexpr size_t kDrainLimit = 65536;
// How long a wait on a device that has gone lets pass before it returns (see WaitInput).
constexpr int kLostDeviceWaitMs = 10;

constexpr int16_t kErrInvalidArgument = 5;
constexpr int16_t kErrDeviceUnavailable = 68;
constexpr int16_t kErrAccess = 75;

[[noreturn]] void Fail(int16_t number) {
  throw RunTimeError(number, RunTimeErrorText(number));
}

bool DeviceUnavailable(int err) {
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK:
    case ENOTDIR:
    case ELOOP:
      return true;
    default:
      return false;
  }
}

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    default:
      return B0;
  }
}

// Milliseconds left until end, at least 0.
int MsLeft(SteadyClock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
}

// The last component of a program path: after the last backslash, slash or drive colon.
std::string LastComponent(const std::string& programPath) {
  size_t cut = programPath.find_last_of("\\/:");
  return cut == std::string::npos ? programPath : programPath.substr(cut + 1);
}

bool IsIdleError(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Bits one character takes on the line: the start bit, the data bits, the parity bit when there
// is one, and the stop bits.
int BitsPerChar(const LineParams& lp) {
  return 1 + lp.dataBits + (lp.parity != 'N' ? 1 : 0) + lp.stopBits;
}

// The time n characters take on a line of the given rate and framing.
SteadyClock::duration LineTime(size_t n, int baud, int bitsPerChar) {
  if (baud <= 0) return SteadyClock::duration::zero();
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(
      static_cast<double>(n) * bitsPerChar / static_cast<double>(baud)));
}

}  // namespace

std::string ConfigHome(const char* xdgConfigHome, const char* home) {
  // A relative path is not taken: it would name another place from every working directory, as
  // under cron (the same rule as every program that reads the variable).
  if (xdgConfigHome != nullptr && *xdgConfigHome == '/') return xdgConfigHome;
  std::string h = home != nullptr ? home : "";
  return h + "/.config";
}

LineParams ParseLineSettings(const std::string& settings) {
  LineParams p;
  std::string parts[4];
  size_t n = 0;
  for (char c : settings) {
    if (c == ',') {
      if (++n == 4) return p;
    } else if (c != ' ') {
      parts[n] += c;
    }
  }
  if (n != 3) return p;
  for (int i : {0, 2, 3}) {
    const std::string& s = parts[i];
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos) {
      return p;
    }
  }
  p.baud = std::stoi(parts[0]);
  p.dataBits = std::stoi(parts[2]);
  p.stopBits = std::stoi(parts[3]);
  if (parts[1].size() != 1) return p;
  p.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[1][0])));
  p.ok = SpeedOf(p.baud) != B0 && (p.parity == 'N' || p.parity == 'E' || p.parity == 'O') &&
         (p.dataBits == 7 || p.dataBits == 8) && (p.stopBits == 1 || p.stopBits == 2);
  return p;
}

// The YModem facility's view of the port. Used only by the worker thread while it runs, so it
// shares the component's input buffer without locking.
class PosixSerialComm::Channel : public ByteChannel {
 public:
  explicit Channel(PosixSerialComm& c) : c_(c) {}

  int Read(uint8_t* buf, int max, int timeoutMs) override {
    if (max <= 0) return 0;
    if (c_.input_.empty()) {
      if (!c_.Drain()) return -1;
      if (c_.input_.empty() && timeoutMs > 0) {
        pollfd pfd{c_.fd_, POLLIN, 0};
        int r = poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno != EINTR) return -1;
        if (!c_.Drain()) return -1;
      }
    }
    size_t take = std::min(static_cast<size_t>(max), c_.input_.size());
    std::memcpy(buf, c_.input_.data(), take);
    c_.input_.erase(0, take);
    return static_cast<int>(take);
  }

  bool Write(const uint8_t* data, int n) override {
    int limit = c_.closing_.load() ? kClosingOutputLimitMs : kOutputLimitMs;
    return c_.WriteAll(data, static_cast<size_t>(std::max(n, 0)), limit) == 0;
  }

 private:
  PosixSerialComm& c_;
};

PosixSerialComm::PosixSerialComm(std::string configHome, std::string baseDir)
    : configHome_(std::move(configHome)), baseDir_(std::move(baseDir)) {}

PosixSerialComm::~PosixSerialComm() {
  Close();
}

std::string PosixSerialComm::DevicePath(int16_t n) const {
  std::string link = configHome_ + "/telvaro3/com" + std::to_string(n);
  struct stat st {};
  if (!configHome_.empty() && lstat(link.c_str(), &st) == 0) return link;
  return "/dev/ttyS" + std::to_string(n - 1);
}

void PosixSerialComm::TellOpenFailure(const std::string& path, const char* why) {
  std::string device = path;
  char target[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  if (n > 0 && static_cast<size_t>(n) < sizeof target) device += " -> " + std::string(target, n);
  std::string line = "telvaro3: port " + std::to_string(port_) + ", " + device + ": " + why + "\n";
  if (line == lastOpenFailure_) return;
  lastOpenFailure_ = line;
  std::fputs(line.c_str(), stderr);
}

void PosixSerialComm::SetPortIsOpen(bool open) {
  if (!open) {
    Close();
    return;
  }
  if (fd_ >= 0) return;

  std::string path = DevicePath(port_);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    TellOpenFailure(path, std::strerror(err));
    Fail(DeviceUnavailable(err) ? kErrDeviceUnavailable : kErrAccess);
  }

  // Exclusive use: TIOCEXCL keeps other openers of the device out (except the super-user), and
  // the lock shows a second copy of this program, whoever runs it, that the port is taken.
  auto failWith = [fd](int16_t number) {
    ::close(fd);
    Fail(number);
  };
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    TellOpenFailure(path, busy ? "in use by another program" : std::strerror(errno));
    failWith(busy ? kErrDeviceUnavailable : kErrAccess);
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) failWith(kErrAccess);
  ioctl(fd, TIOCEXCL);

  LineParams lp = ParseLineSettings(lineSettings_);
  if (!lp.ok) failWith(kErrInvalidArgument);
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | (lp.dataBits == 7 ? CS7 : CS8);
  if (lp.parity != 'N') {
    tio.c_cflag |= PARENB;
    if (lp.parity == 'O') tio.c_cflag |= PARODD;
  }
  if (lp.stopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 1;  // with O_NONBLOCK: no data reads EAGAIN, not 0
  tio.c_cc[VTIME] = 0;
  speed_t speed = SpeedOf(lp.baud);
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) failWith(kErrInvalidArgument);
  if (tcsetattr(fd, TCSANOW, &tio) != 0)
    failWith(errno == EINVAL ? kErrInvalidArgument : kErrAccess);
  // Only stale input goes. Flushing output here would also throw away, on a pseudo-terminal,
  // what an earlier run wrote and the peer has not read yet.
  tcflush(fd, TCIFLUSH);

  fd_ = fd;
  fault_.store(0);
  lastOpenFailure_.clear();
  quiet_ = false;
  outputGone_ = false;
  drainedAt_ = {};
  input_.clear();
  event_ = 0;
  outputPending_ = false;
  baud_ = lp.baud;
  bitsPerChar_ = BitsPerChar(lp);
  lineBusyUntil_ = SteadyClock::now();
  // The waits on this line are timed to the character: at 115200 baud one lasts 87 us, and the
  // default slack the kernel adds to every timed wait (50 us) would make each send delay and
  // each wait for output to leave late by more than half a character.
  const int slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  savedTimerSlack_ = slack > 0 ? static_cast<unsigned long>(slack) : 0;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void PosixSerialComm::Close() {
  StopWorker();
  if (fd_ < 0) return;
  // Let queued output leave before the close, but never wait for a line that is held up.
  auto end = SteadyClock::now() + std::chrono::milliseconds(kCloseDrainLimitMs);
  while (OutputCount() > 0 && MsLeft(end) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  outputPending_ = false;
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  fault_.store(0);
  input_.clear();
  // The thread's timer slack as it was before the line was opened.
  prctl(PR_SET_TIMERSLACK, savedTimerSlack_, 0UL, 0UL, 0UL);
}

bool PosixSerialComm::Drain() {
  if (fd_ < 0) return false;
  quiet_ = false;
  char buf[4096];
  for (size_t taken = 0; taken < kDrainLimit;) {
    ssize_t r = ::read(fd_, buf, sizeof buf);
    if (r > 0) {
      if (!workerActive_.load()) OutputAnswered();
      input_.append(buf, static_cast<size_t>(r));
      taken += static_cast<size_t>(r);
      // A terminal hands over all it holds in one read that the buffer does not fill.
      if (static_cast<size_t>(r) < sizeof buf) break;
      continue;
    }
    if (r < 0 && IsIdleError(errno)) break;
    // A terminal reads 0 bytes both when nothing is waiting under some line settings (which the
    // peer of a pseudo-terminal may change) and when the line has hung up; only the latter is
    // a failure. Any other read error (EIO: the device is gone) is one too.
    pollfd pfd{fd_, POLLIN, 0};
    if (r < 0 || (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
      Lost();
      return false;
    }
    break;
  }
  drainedAt_ = SteadyClock::now();
  return true;
}

void PosixSerialComm::OutputAnswered() {
  // The peer has seen what was written: whatever the line time says, nothing of it is still
  // queued. Left as it was, the estimate would run ahead of the clock on a link faster than its
  // rate, and every later write and wait would be timed by it.
  const auto now = SteadyClock::now();
  if (lineBusyUntil_ > now) lineBusyUntil_ = now;
  if (outputPending_) outputGone_ = true;
}

int32_t PosixSerialComm::InputCount() {
  if (fd_ < 0 || workerActive_.load()) return 0;
  DrainIfNeeded();
  return static_cast<int32_t>(std::min<size_t>(input_.size(), INT32_MAX));
}

void PosixSerialComm::DrainIfNeeded() {
  // Right after a wait that saw nothing come, or within a character's time of a look that found
  // the device empty with no wait since that saw input, there is nothing new to ask the device
  // for; what comes meanwhile ends the next wait at once, and the look after it asks.
  if (!quiet_ && SteadyClock::now() - drainedAt_ >= LineTime(1, baud_, bitsPerChar_)) Drain();
  quiet_ = false;
}

std::string PosixSerialComm::InputData() {
  if (fd_ < 0 || workerActive_.load()) return {};
  DrainIfNeeded();
  std::string out;
  out.swap(input_);
  return out;
}

int16_t PosixSerialComm::WriteAll(const uint8_t* data, size_t n, int limitMs) {
  outputGone_ = false;
  auto end = SteadyClock::now() + std::chrono::milliseconds(limitMs);
  while (n > 0) {
    ssize_t w = ::write(fd_, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    // A device that refuses a write (EIO once it has hung up) has gone.
    if (w < 0 && !IsIdleError(errno)) {
      Lost();
      return kEventDeviceFailed;
    }
    int left = MsLeft(end);
    if (left == 0) return kEventOutputStuck;
    pollfd pfd{fd_, POLLOUT, 0};
    int r = poll(&pfd, 1, left);
    if ((r < 0 && errno != EINTR) || (r > 0 && (pfd.revents & (POLLERR | POLLNVAL)) != 0)) {
      Lost();
      return kEventDeviceFailed;
    }
  }
  return 0;
}

void PosixSerialComm::OutputData(const std::string& data) {
  outputPending_ = false;
  if (fd_ < 0 || workerActive_.load()) {
    event_ = kEventDeviceFailed;
    return;
  }
  // What is waiting now was there before the write: it must not pass for an answer to it.
  DrainIfNeeded();
  const auto start = SteadyClock::now();
  int16_t r = WriteAll(reinterpret_cast<const uint8_t*>(data.data()), data.size(), kOutputLimitMs);
  if (r != 0) {
    event_ = r;
    return;
  }
  // The characters follow those still on the line without a gap, or start at once on an idle
  // line. The device takes them as fast as it can buffer them, which says nothing about the line.
  lineBusyUntil_ = std::max(start, lineBusyUntil_) + LineTime(data.size(), baud_, bitsPerChar_);
  event_ = 0;
  outputPending_ = true;
}

int32_t PosixSerialComm::CharsOnLine(SteadyClock::time_point now) const {
  if (baud_ <= 0 || lineBusyUntil_ <= now) return 0;
  const double left = std::chrono::duration<double>(lineBusyUntil_ - now).count();
  // The character being shifted out has left the queue, as on a real port: so a one-character
  // answer is sent the moment it is written, and the block that answers it is waited for
  // without a wake-up in between.
  return static_cast<int32_t>(std::min(std::ceil(left * baud_ / bitsPerChar_) - 1, 1e9));
}

int32_t PosixSerialComm::OutputCount() {
  if (fd_ < 0 || workerActive_.load()) return 0;
  // Output that has left stays gone until the next write.
  if (outputGone_) return 0;
  // While the line time of the writes runs, the device is not asked: it sends at the line's
  // pace, so its queue is no longer than what the line has still to carry.
  // That holds for the character being shifted out as well: a one-character answer counts as
  // sent at once, without a look at the device.
  const auto now = SteadyClock::now();
  if (lineBusyUntil_ > now) return CharsOnLine(now);
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  outputGone_ = queued == 0;
  return queued;
}

int16_t PosixSerialComm::EventCode() {
  if (outputPending_ && fault_.load() != 0) {
    // What was still queued will never be on the line.
    outputPending_ = false;
    event_ = fault_.load();
  } else if (outputPending_ && OutputCount() == 0) {
    outputPending_ = false;
    event_ = 1;
  }
  return event_;
}

void PosixSerialComm::SetOutputCount(int32_t v) {
  if (v != 0 || fd_ < 0 || workerActive_.load()) return;
  tcflush(fd_, TCOFLUSH);
  // What was thrown away will never be on the line, and nothing is waiting to be reported sent.
  lineBusyUntil_ = SteadyClock::now();
  outputPending_ = false;
}

void PosixSerialComm::WaitInputFor(int32_t count, int maxMs) {
  const size_t want = static_cast<size_t>(std::max(count, 1));
  if (fd_ >= 0 && !workerActive_.load() && input_.size() >= want) return;
  if (fd_ >= 0 && !workerActive_.load() && maxMs > 0 && input_.size() + 1 < want) {
    // The missing characters cannot be in before the line has carried them: that time is slept
    // through without watching the device, whose every character would only wake the program
    // to wait again. All but the last, that is, as one of them may be partly in already; except
    // while our own output is still on the line: the block answers it, so none of the block is
    // on the line before that has left.
    const auto now = SteadyClock::now();
    const auto end = now + std::chrono::milliseconds(maxMs);
    const bool answering = lineBusyUntil_ > now;
    const auto start = answering ? lineBusyUntil_ : now;
    const size_t missing = want - input_.size() - (answering ? 0 : 1);
    std::this_thread::sleep_until(std::min(end, start + LineTime(missing, baud_, bitsPerChar_)));
    if (!Drain() || input_.size() >= want) return;
    maxMs = MsLeft(end);
  }
  WaitInput(maxMs);
}

void PosixSerialComm::WaitInput(int maxMs) {
  if (fd_ < 0 || maxMs <= 0) return;
  if (workerActive_.load()) {
    // The worker owns the port; just let the time pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(maxMs));
    return;
  }
  // A device that has hung up (a cradle unplugged) stays readable with nothing to read; do not
  // let callers spin on it. They learn from PortFault that nothing more will come.
  if (fault_.load() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(maxMs, kLostDeviceWaitMs)));
    return;
  }
  // Input already read from the device does not end the wait: a caller waits here for the rest
  // of a block that is partly in, and must see each further byte as it lands.
  const auto now = SteadyClock::now();
  auto end = now + std::chrono::milliseconds(maxMs);
  if (outputPending_) {
    // Wake up when the output should have left: at the end of its line time, or, once that has
    // passed, when the device's own queue should have drained (at least a millisecond on).
    auto due = lineBusyUntil_;
    int queued = 0;
    if (due <= now && ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
      due = now + std::max<SteadyClock::duration>(
                      std::chrono::milliseconds(1),
                      LineTime(static_cast<size_t>(queued), baud_, bitsPerChar_));
    } else if (due > now) {
      // A moment later, in fact: the answer to a block comes right after it has left, and when
      // it lands within that moment it ends the wait itself, so that the wait for the block to
      // leave and the wait for its answer take one wake-up, and the answer is seen at once.
      due += kOutputGrace;
    }
    if (due > now) end = std::min(end, due);
  }
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now);
  const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                    static_cast<long>(wait.count() % 1000000000)};
  pollfd pfd{fd_, POLLIN, 0};
  int r = ppoll(&pfd, 1, &ts, nullptr);
  // Nothing came: the next look need not ask the device. Something came: it must.
  quiet_ = r == 0;
  if (r > 0) drainedAt_ = {};
  if (r <= 0) return;
  const bool hangUp = (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (hangUp) {
    // What the device still holds is taken, and a device that has gone is found so at once, not
    // when a caller's time runs out.
    const size_t before = input_.size();
    if (!Drain() || input_.size() > before) return;
  }
  // Woken with nothing to read: still no spinning.
  if (hangUp || (pfd.revents & POLLIN) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(maxMs, kLostDeviceWaitMs)));
  }
}

void PosixSerialComm::SetCancelTransfer(bool v) {
  status_.cancel.store(v);
  if (v && !workerActive_.load() && status_.state.load() > 0) status_.state.store(kYModemFailed);
}

void PosixSerialComm::SendFile(const std::string& path) {
  StartWorker(true, path);
}

void PosixSerialComm::StartReceive(const std::string&) {
  StartWorker(false, receiveDir_);
}

void PosixSerialComm::StartWorker(bool send, const std::string& programPath) {
  StopWorker();
  status_.bytes.store(0);
  status_.size.store(0);
  status_.cancel.store(false);
  status_.fault.store(TransferFault::kNone);
  // A received file waits for the program to judge its name before anything of it is taken.
  status_.judgeNames.store(!send);
  status_.SetCurrentPath(send ? programPath : std::string());
  if (fd_ < 0) {
    status_.state.store(kYModemFailed);
    return;
  }
  // The state is set here, not only by the worker, so that a poll right after the start never
  // sees the idle state of the previous transfer.
  status_.state.store(kYModemWaitingStart);
  std::string real = posix::RealPath(programPath, baseDir_);
  channel_ = std::make_unique<Channel>(*this);
  workerActive_.store(true);
  if (send) {
    std::string name = LastComponent(programPath);
    worker_ = std::thread([this, real, name] {
      YModemSend(*channel_, real, name, status_, kYModemStartWaitMs);
      workerActive_.store(false);
    });
  } else {
    std::string display = programPath;
    worker_ = std::thread([this, real, display] {
      YModemReceive(*channel_, real, display, status_, kYModemStartWaitMs);
      workerActive_.store(false);
    });
  }
}

void PosixSerialComm::StopWorker() {
  if (!worker_.joinable()) return;
  if (workerActive_.load()) {
    closing_.store(true);
    status_.cancel.store(true);
  }
  worker_.join();
  closing_.store(false);
  channel_.reset();
}

}  // namespace telvaro3::serial
