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
#include <cerrno>
#include <chrono>
#include <climits>
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
// The most one look at the input moves from the device: a line that never stops talking must
// not hold a look forever, and what a look leaves stays in the device for the next one.
constexpr size_t kDrainLimit = 65536;
// How long a wait on a device that has gone lets pass before it returns (see WaitInput).
constexpr int kLostDeviceWaitMs = 10;

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

}  // namespace

std::string ConfigHome(const char* xdgConfigHome, const char* home) {
  // A relative path is not taken: it would name another place from every working directory, as
  // under cron (the same rule as every program that reads the variable).
  if (xdgConfigHome != nullptr && *xdgConfigHome == '/') return xdgConfigHome;
  std::string h = home != nullptr ? home : "";
  return h + "/.config";
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
  const std::string path = DevicePath(port_);
  const int fd = OpenDevice(path);
  LineParams lp;
  if (const int16_t err = ConfigureLine(fd, lineSettings_, lp); err != 0) {
    ::close(fd);
    Fail(err);
  }
  Opened(fd, lp);
}

int PosixSerialComm::OpenDevice(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    TellOpenFailure(path, std::strerror(err));
    Fail(DeviceUnavailable(err) ? kRteDeviceUnavailable : kRtePathFileAccess);
  }
  // Exclusive use: the lock shows a second copy of this program, whoever runs it, that the port
  // is taken, and TIOCEXCL keeps other openers of the device out (except the super-user).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    TellOpenFailure(path, busy ? "in use by another program" : std::strerror(errno));
    ::close(fd);
    Fail(busy ? kRteDeviceUnavailable : kRtePathFileAccess);
  }
  ioctl(fd, TIOCEXCL);
  return fd;
}

void PosixSerialComm::Opened(int fd, const LineParams& lp) {
  fd_ = fd;
  fault_.store(kEventNone);
  lastOpenFailure_.clear();
  input_.clear();
  event_ = kEventNone;
  clock_.Open(lp.baud, BitsPerChar(lp), SteadyClock::now());
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
  clock_.Settle();
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  fault_.store(kEventNone);
  input_.clear();
  // The thread's timer slack as it was before the line was opened.
  prctl(PR_SET_TIMERSLACK, savedTimerSlack_, 0UL, 0UL, 0UL);
}

bool PosixSerialComm::Drain() {
  if (fd_ < 0) return false;
  char buf[4096];
  for (size_t taken = 0; taken < kDrainLimit;) {
    ssize_t r = ::read(fd_, buf, sizeof buf);
    if (r > 0) {
      // Input after a write proves the peer has seen it (see OutputCount).
      if (!workerActive_.load()) clock_.Answered(SteadyClock::now());
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
      clock_.LookFailed();
      return false;
    }
    break;
  }
  clock_.Looked(SteadyClock::now());
  return true;
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
  if (clock_.TakeLook(SteadyClock::now())) Drain();
}

std::string PosixSerialComm::InputData() {
  std::string out;
  TakeInput(out);
  return out;
}

void PosixSerialComm::TakeInput(std::string& into) {
  into.clear();
  if (fd_ < 0 || workerActive_.load()) return;
  DrainIfNeeded();
  // The two trade storage: the input to come reuses the caller's.
  into.swap(input_);
}

int16_t PosixSerialComm::WriteAll(const uint8_t* data, size_t n, int limitMs) {
  clock_.Writing();
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
  return kEventNone;
}

void PosixSerialComm::OutputData(const std::string& data) {
  clock_.Settle();
  if (fd_ < 0 || workerActive_.load()) {
    event_ = kEventDeviceFailed;
    return;
  }
  // What is waiting now was there before the write: it must not pass for an answer to it.
  DrainIfNeeded();
  const auto start = SteadyClock::now();
  int16_t r = WriteAll(reinterpret_cast<const uint8_t*>(data.data()), data.size(), kOutputLimitMs);
  if (r != kEventNone) {
    event_ = r;
    return;
  }
  // The device takes the characters as fast as it can buffer them, which says nothing about the
  // line: the line clock times them.
  clock_.Written(data.size(), start);
  event_ = kEventNone;
}

int32_t PosixSerialComm::OutputCount() {
  if (fd_ < 0 || workerActive_.load()) return 0;
  return clock_.OutputCount(SteadyClock::now(), [this] { return DeviceQueue(); });
}

int PosixSerialComm::DeviceQueue() const {
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  return queued;
}

int16_t PosixSerialComm::EventCode() {
  if (clock_.Pending() && fault_.load() != kEventNone) {
    // What was still queued will never be on the line.
    clock_.Settle();
    event_ = fault_.load();
  } else if (clock_.Pending() && OutputCount() == 0) {
    clock_.Settle();
    event_ = kEventSent;
  }
  return event_;
}

void PosixSerialComm::SetOutputCount(int32_t v) {
  if (v != 0 || fd_ < 0 || workerActive_.load()) return;
  tcflush(fd_, TCOFLUSH);
  clock_.Discarded(SteadyClock::now());
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
    const auto due = clock_.InputDue(want - input_.size(), now);
    std::this_thread::sleep_until(std::min(end, due));
    if (!Drain()) return;
    if (due <= end) clock_.InputLooked(input_.size() >= want);
    if (input_.size() >= want) return;
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
  if (fault_.load() != kEventNone) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(maxMs, kLostDeviceWaitMs)));
    return;
  }
  // Input already read from the device does not end the wait: a caller waits here for the rest
  // of a block that is partly in, and must see each further byte as it lands.
  const auto now = SteadyClock::now();
  auto end = now + std::chrono::milliseconds(maxMs);
  // Wake up when pending output should have left, so that a wait for the output count to fall
  // ends on time; and when its answer lands a moment after, the same wake-up sees it.
  if (auto due = clock_.OutputDue(now, [this] { return DeviceQueue(); })) end = std::min(end, *due);
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now);
  const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                    static_cast<long>(wait.count() % 1000000000)};
  pollfd pfd{fd_, POLLIN, 0};
  int r = ppoll(&pfd, 1, &ts, nullptr);
  clock_.WaitEnded(r, SteadyClock::now());
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
  if (v && !workerActive_.load() && status_.state.load() > kYModemIdle) {
    status_.state.store(kYModemFailed);
  }
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
