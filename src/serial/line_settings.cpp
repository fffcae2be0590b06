#include "serial/line_settings.h"

#include <termios.h>

#include <cctype>
#include <cerrno>

#include "base/codes.h"

namespace telvaro3::serial {

namespace {

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

// Sets the terminal settings of fd to a raw line of the given framing: 8-bit clean, no flow
// control, reads that return at once. Returns 0, or the run-time error number of the failure.
int16_t SetRawLine(int fd, termios& tio, const LineParams& lp) {
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
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return kRteInvalidCall;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    return errno == EINVAL ? kRteInvalidCall : kRtePathFileAccess;
  }
  return 0;
}

}  // namespace

int16_t ConfigureLine(int fd, const std::string& settings, LineParams& lp) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return kRtePathFileAccess;
  lp = ParseLineSettings(settings);
  if (!lp.ok) return kRteInvalidCall;
  if (const int16_t err = SetRawLine(fd, tio, lp); err != 0) return err;
  // Only stale input goes. Flushing output here would also throw away, on a pseudo-terminal,
  // what an earlier run wrote and the peer has not read yet.
  tcflush(fd, TCIFLUSH);
  return 0;
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

int BitsPerChar(const LineParams& lp) {
  return 1 + lp.dataBits + (lp.parity != 'N' ? 1 : 0) + lp.stopBits;
}

}  // namespace telvaro3::serial
