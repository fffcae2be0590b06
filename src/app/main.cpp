// The program's entry point: picks the status window (Qt when a display can be opened, else the
// text view), builds the platform services and runs the load event, which runs the whole job.
// The result is shown only in the window; the exit status is always 0.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "posix/posix_system.h"
#include "serial/posix_serial.h"
#include "shell/program.h"
#include "shell/shell.h"
#include "ui/text_window.h"

#ifdef TELVARO3_HAVE_QT
#include <QApplication>

#include "ui/qt_window.h"
#endif

namespace {

#ifdef TELVARO3_HAVE_QT
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// True when a Unix socket at path (a leading '@' naming an abstract one) accepts a connection.
bool SocketAnswers(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

// Whether the Qt window can be had. Qt ends the process when it cannot reach a display, so this
// is decided before the application object exists: an explicit platform choice is followed; a
// local X display or a Wayland display must answer on its socket; a remote X display (host:N, as
// SSH forwards it) is taken on trust.
bool DisplayAvailable() {
  if (!Env("QT_QPA_PLATFORM").empty()) return true;

  std::string wayland = Env("WAYLAND_DISPLAY");
  if (!wayland.empty()) {
    std::string path = wayland[0] == '/' ? wayland : Env("XDG_RUNTIME_DIR") + "/" + wayland;
    if (SocketAnswers(path)) return true;
  }

  std::string display = Env("DISPLAY");
  if (display.empty()) return false;
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty()) return false;
  std::string socketPath = "/tmp/.X11-unix/X" + number;
  return SocketAnswers("@" + socketPath) || SocketAnswers(socketPath);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  telvaro3::posix::PosixSystem system("", args, argc > 0 ? argv[0] : "telvaro3");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  telvaro3::serial::PosixSerialComm comm(telvaro3::serial::ConfigHome(xdg, home));

  std::unique_ptr<telvaro3::Window> window;
#ifdef TELVARO3_HAVE_QT
  std::unique_ptr<QApplication> app;
  if (DisplayAvailable()) {
    app = std::make_unique<QApplication>(argc, argv);
    window = std::make_unique<telvaro3::ui::QtWindow>();
  }
#endif
  if (!window) {
    window = std::make_unique<telvaro3::ui::TextWindow>(telvaro3::ui::TextWindowIo::Standard());
  }

  {
    telvaro3::Program p(comm, *window, system);
    telvaro3::Form_Load(p);
  }
  // The port (and a transfer still running on it) goes before the window.
  comm.SetPortIsOpen(false);
  window.reset();
  return 0;
}
