// termsim: plays the handheld terminal's side of the block protocol over a serial line.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "frames.h"
#include "line.h"
#include "options.h"

namespace termsim {
namespace {

std::optional<speed_t> SpeedOf(long baud) {
  struct Entry {
    long baud;
    speed_t speed;
  };
  static const Entry kSpeeds[] = {
      {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
  };
  for (const auto& e : kSpeeds) {
    if (e.baud == baud) return e.speed;
  }
  return std::nullopt;
}

bool MakeRaw(int fd, long baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (baud > 0) {
    if (auto s = SpeedOf(baud)) {
      cfsetispeed(&t, *s);
      cfsetospeed(&t, *s);
    } else {
      std::fprintf(stderr, "%s: %ld baud is not a standard speed; speed left as it is\n",
                   program_invocation_short_name, baud);
    }
  }
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Splits a PC text file into lines: a line ends at CR, CR LF or LF.
std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < all.size(); ++i) {
    char c = all[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < all.size() && all[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::string Repeated(const std::string& unit, size_t len) {
  std::string s;
  while (s.size() < len) s += unit;
  return s.substr(0, len);
}

UploadData PrepareUpload(const Options& o) {
  UploadData d;
  std::vector<std::string> lines;
  if (!o.file.empty()) lines = ReadLines(o.file);

  d.name = o.name;
  if (d.name.empty() && !o.file.empty()) {
    size_t slash = o.file.rfind('/');
    d.name = slash == std::string::npos ? o.file : o.file.substr(slash + 1);
    for (char& c : d.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (d.name.empty()) d.name = "ORDERS.BHT";
  if (d.name.size() > 12) Fail("terminal file name longer than 12 characters: " + d.name);

  int programLength = ProgramRecordLength(d.name);
  if (programLength == 1024) Fail("PD4 program files do not go by the block protocol");
  if (o.program && programLength == 0) {
    Fail("--program needs a name ending in .PD3, .FN3 or .EX3: " + d.name);
  }
  d.program = programLength > 0;
  if (d.program) {
    d.recordLength = programLength;
  } else {
    d.fields = o.fields;
    if (d.fields.empty()) {
      if (o.file.empty()) Fail("--records needs --fields");
      size_t longest = 1;
      for (const auto& l : lines) longest = std::max(longest, l.size());
      d.fields.push_back(static_cast<int>(std::min<size_t>(longest, 99)));
    }
    for (int len : d.fields) d.recordLength += len;
    if (static_cast<int>(d.fields.size()) + d.recordLength > 255) {
      Fail("record too long: field count plus record length exceeds 255");
    }
  }

  if (o.file.empty()) {
    for (long i = 1; i <= o.records; ++i) {
      std::string rec;
      std::string n = std::to_string(i);
      if (d.program) {
        rec = Repeated(n + ".", static_cast<size_t>(d.recordLength));
      } else {
        for (size_t j = 0; j < d.fields.size(); ++j) {
          rec += Repeated(n + "." + std::to_string(j + 1) + ".", static_cast<size_t>(d.fields[j]));
        }
      }
      lines.push_back(rec);
    }
  }
  if (lines.size() > 99999) Fail("more than 99999 records do not fit the heading");
  char pad = d.program ? '0' : ' ';
  for (auto& l : lines) {
    l.resize(static_cast<size_t>(d.recordLength), pad);
    d.records.push_back(l);
  }
  return d;
}

// The line and what must be undone when the run ends.
struct Port {
  int fd = -1;
  int slaveFd = -1;
  std::string slavePath;
  std::string link;

  ~Port() {
    if (!link.empty()) {
      char target[4096];
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n >= 0 && std::string(target, static_cast<size_t>(n)) == slavePath) {
        ::unlink(link.c_str());
      }
    }
    if (slaveFd >= 0) ::close(slaveFd);
    if (fd >= 0) ::close(fd);
  }
};

// The PC program opens the port exclusively. The flag belongs to the pseudo-terminal, and since
// this side keeps the slave open the tty is never closed for good, so the flag would outlive the
// PC's close and refuse its next open (continuous mode). Clear it after every transfer.
void ReleaseExclusive(const Port& port) {
#ifdef TIOCNXCL
  if (port.slaveFd >= 0) ::ioctl(port.slaveFd, TIOCNXCL);
#else
  (void)port;
#endif
}

void OpenPort(const Options& o, Port& port) {
  long ttyBaud = o.baud;
  if (o.pty) {
    port.fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (port.fd < 0 || ::grantpt(port.fd) != 0 || ::unlockpt(port.fd) != 0) {
      Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno), 3);
    }
    const char* name = ::ptsname(port.fd);
    if (!name) Fail("cannot name the pseudo-terminal", 3);
    port.slavePath = name;
    port.slaveFd = ::open(name, O_RDWR | O_NOCTTY);
    if (port.slaveFd < 0 || !MakeRaw(port.slaveFd, ttyBaud)) {
      Fail("cannot set up " + port.slavePath, 3);
    }
    if (!o.link.empty()) {
      struct stat st {};
      if (::lstat(o.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Fail(o.link + " exists and is not a symbolic link", 3);
        ::unlink(o.link.c_str());
      }
      if (::symlink(port.slavePath.c_str(), o.link.c_str()) != 0) {
        Fail("cannot create link " + o.link + ": " + std::strerror(errno), 3);
      }
      port.link = o.link;
    }
    std::printf("PTY %s\n", port.slavePath.c_str());
    std::fflush(stdout);
  } else {
    port.fd = ::open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd < 0) Fail("cannot open " + o.device + ": " + std::strerror(errno), 3);
    if (::isatty(port.fd) && !MakeRaw(port.fd, ttyBaud)) Fail("cannot set up " + o.device, 3);
  }
  SetNonBlocking(port.fd);
}

int Run(int argc, char** argv) {
  Options o = ParseCommandLine(argc, argv);
  UploadData data;
  if (o.mode == Mode::kUpload) data = PrepareUpload(o);

  // SIGINT and SIGTERM stay pending; every wait looks for them and ends the run cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  Port port;
  OpenPort(o, port);

  LineConfig cfg;
  cfg.paceBaud = o.pacing ? o.baud : 0;
  cfg.silent = o.faults.silent;
  cfg.verbose = o.verbose;
  cfg.turnLog = o.turnLog;
  cfg.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(o.timeoutS));
  Line line(port.fd, cfg);
  try {
    bool ok = true;
    for (long t = 1; ok && t <= o.transfers; ++t) {
      ok = o.mode == Mode::kUpload ? Upload(line, o, data, t) : Download(line, o, t);
      ReleaseExclusive(port);
      if (ok) line.Log("transfer " + std::to_string(t) + " complete");
    }
    // The PC reads the last answer from the pseudo-terminal only while this side holds it open.
    if (o.pty) line.SleepFor(Millis{300});
    return ok ? 0 : 1;
  } catch (const Stop& stop) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, stop.what());
    return stop.status();
  }
}

}  // namespace
}  // namespace termsim

int main(int argc, char** argv) {
  return termsim::Run(argc, argv);
}
