// The program's entry point: picks the status window (Qt when a display can be opened, else the
// text view), builds the platform services and runs the load event, which runs the whole job.
// The result is shown in the window; the exit status is 0, or the result with --exit-status.

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/program.h"
#include "base/text.h"
#include "posix/posix_system.h"
#include "serial/posix_serial.h"
#include "settings/procedures.h"
#include "shell/shell.h"
#include "systemd/service_report.h"
#include "ui/qt_module.h"
#include "ui/stop_signals.h"
#include "ui/text_window.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: telvaro3 [options] [FILE | DIRECTORY\]
Moves one file between this PC and a handheld terminal on a serial port.
  FILE           send this file (8.3 name, e.g. DATA.TXT or 'C:\DATA\ORDERS.BHT')
  DIRECTORY\     receive a file into this directory ('IN\', 'C:\HOME\ME\IN\');
                 without an argument the current directory receives
Options (any letter case, in any order):
  +P0 ... +P19   port 1 ... 20: ~/.config/telvaro3/comN, else /dev/ttyS(N-1)
  +B300 ... +B460800   baud rate (default 19200)    +PN +PE +PO  parity
  +D7 +D8        data bits     +S1 +S2  stop bits
  +F10,5         field lengths of the records (else from the .FLD file)
  +PB -PB        block check on/off         +SN -SN  serial numbers on/off
  +CMP           compact digits             +YMOD    YModem
  +T0 +T30 +T60 +T90 +T120   give up after this many seconds of silence
  +IR            IrDA link                  +IRD<ms> pause before each block
  +APP           append to received files   +RXON    repeat until Cancel
  +EX            end after a success        +DDE     never wait at the end
  +EW            power the computer off at the end
Quote arguments with backslashes for the shell. The result is shown in the status
window; the exit status is 0, unless --exit-status comes first:
  --exit-status  the exit status is the result number (0 for Err(0), 9, 52, 90, 101,
                 ...; in continuous mode the last round's; 255 for any number above 255)
  --help         this text           --version   the program's name and version
)";

// "--exit-status" before the job's own tokens asks for the result as the exit status; it is
// taken off, so the job's command line is as without it.
bool TakeExitStatusFlag(std::vector<std::string>& args) {
  if (args.empty() || args[0] != "--exit-status") return false;
  args.erase(args.begin());
  return true;
}

// --help and --version, as the only argument, answer on standard output without a window or a
// port. True when the argument was one of them.
bool AnswerHelpOrVersion(const std::vector<std::string>& args, telvaro3::posix::PosixSystem& system,
                         telvaro3::SerialComm& comm) {
  if (args.size() != 1) return false;
  if (args[0] == "--help") {
    std::fputs(kUsage, stdout);
    return true;
  }
  if (args[0] != "--version") return false;
  // The version is the one the program itself shows; a silent text view stands in for the window.
  telvaro3::ui::TextWindowIo io;
  io.catchSignals = false;
  telvaro3::ui::TextWindow silent(io);
  telvaro3::Program p(comm, silent, system);
  telvaro3::SetDefaults(p);
  const std::string line = telvaro3::Latin1ToUtf8(system.ProgramName() + " " + p.ProgramVersion);
  std::printf("%s\n", line.c_str());
  return true;
}

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

// True when host accepts a TCP connection on port within a few seconds.
bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      pollfd pfd{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      ok = poll(&pfd, 1, 3000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
           err == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

// True when the X server of display accepts this program as a client (authorisation included)
// within a few seconds, asked through the same library the Qt platform plugin uses; without that
// library Qt could not use the display either. The question is put by a child process, so that a
// server that takes the connection and never answers costs only the wait.
bool XServerAccepts(const std::string& display) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  auto connectTo = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  bool ok = false;
  pid_t child = connectTo != nullptr && hasError != nullptr ? fork() : -1;
  if (child == 0) {
    void* c = connectTo(display.c_str(), nullptr);
    _exit(c != nullptr && hasError(c) == 0 ? 0 : 1);
  }
  if (child > 0) {
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 300 && done == 0; ++i) {
      done = waitpid(child, &status, WNOHANG);
      if (done == 0) usleep(10000);
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    ok = done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  dlclose(xcb);
  return ok;
}

// Whether the Qt window can be had. Qt ends the process when it cannot reach a display, so this
// is decided before the application object exists: an explicit platform choice is followed; a
// Wayland display must answer on its socket; an X display must answer on its socket (a remote
// one, host:N as SSH forwards it, on TCP port 6000+N within a few seconds) and accept the
// program as a client. A display that does not answer leaves the text view.
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
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (number.size() > 4) return false;
  bool answers = false;
  if (!host.empty() && host != "unix") {
    answers = TcpAnswers(host, 6000 + std::stoi(number));
  } else {
    std::string socketPath = "/tmp/.X11-unix/X" + number;
    answers = SocketAnswers("@" + socketPath) || SocketAnswers(socketPath);
  }
  return answers && XServerAccepts(display);
}

// The Qt window from its module, or nothing when the module cannot be loaded (it is looked for
// next to the program, then in lib/telvaro3/modules beside the program's bin directory).
std::unique_ptr<telvaro3::Window> OpenQtWindow(int& argc, char** argv) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return nullptr;
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.find_last_of('/') + 1);
  const std::string candidates[] = {
      dir + telvaro3::ui::kQtModuleName,
      dir + "../" + telvaro3::ui::kQtModuleInstallDir + "/" + telvaro3::ui::kQtModuleName};
  std::string errors;
  for (const std::string& path : candidates) {
    // Never closed: Qt's libraries stay until the process ends.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* why = dlerror();
      errors += std::string("\n  ") + (why != nullptr ? why : path.c_str());
      continue;
    }
    auto open =
        reinterpret_cast<telvaro3::ui::OpenQtWindowFn>(dlsym(module, telvaro3::ui::kQtModuleEntry));
    if (open != nullptr) return std::unique_ptr<telvaro3::Window>(open(&argc, argv));
    errors += "\n  " + path + ": no " + telvaro3::ui::kQtModuleEntry;
  }
  std::fprintf(stderr,
               "telvaro3: the graphical window cannot be loaded, the text view stands in:%s\n",
               errors.c_str());
  return nullptr;
}

// The Qt window with the stop signals held back in every thread of the process. Qt starts
// threads of its own (the X event queue, D-Bus), and a signal sent to the process goes to any
// thread that does not hold it back, where its default action would end the program in
// mid-transfer. Held back here, before the module and its libraries are loaded, the signals are
// held back by every thread started later too (threads inherit the mask), and stay pending until
// the window reads them from its descriptor as Cancel. They stay held back until the program
// ends, so that one coming during the shutdown is dropped with the process. Without the window
// the text view starts from the mask the program was started with.
std::unique_ptr<telvaro3::Window> OpenQtWindowSignalsHeld(int& argc, char** argv) {
  const sigset_t stop = telvaro3::ui::StopSignals();
  sigset_t before;
  if (pthread_sigmask(SIG_BLOCK, &stop, &before) != 0) return OpenQtWindow(argc, argv);
  std::unique_ptr<telvaro3::Window> window = OpenQtWindow(argc, argv);
  if (!window) pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return window;
}
#endif

// Standard input, output and error that the caller closed (a daemon, `>&-` in a script) are opened
// on /dev/null. Left closed, the port or a received file would take their numbers, and the window's
// lines or a library's warnings would go onto the line to the terminal or into the user's file.
// Taken in order, each closed one is the lowest free number when its turn comes, so the opening
// lands on it.
void OpenClosedStandardFiles() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

}  // namespace

int main(int argc, char** argv) {
  OpenClosedStandardFiles();
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool exitStatus = TakeExitStatusFlag(args);
  telvaro3::posix::PosixSystem system("", args, argc > 0 ? argv[0] : "telvaro3");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  telvaro3::serial::PosixSerialComm comm(telvaro3::serial::ConfigHome(xdg, home));
  if (AnswerHelpOrVersion(args, system, comm)) return 0;

  std::unique_ptr<telvaro3::Window> window;
#ifdef TELVARO3_HAVE_QT
  if (DisplayAvailable()) window = OpenQtWindowSignalsHeld(argc, argv);
#endif
  telvaro3::systemd::ServiceReportIo serviceIo = telvaro3::systemd::SystemdReport::Standard();
  // The summary line belongs to the text view's lines; the graphical window has none.
  if (window) serviceIo.out = nullptr;
  telvaro3::systemd::SystemdReport service(serviceIo);
  if (!window) {
    telvaro3::ui::TextWindowIo io = telvaro3::ui::TextWindowIo::Standard();
    // The journal gets one entry per transfer, not a line for every change of a field.
    io.fieldLines = !serviceIo.journal;
    window = std::make_unique<telvaro3::ui::TextWindow>(io);
  }

  int16_t result = 0;
  {
    telvaro3::Program p(comm, *window, system);
    p.service = &service;
    telvaro3::Form_Load(p);
    result = p.state.ErrorCode;
  }
  // The port (and a transfer still running on it) goes before the window.
  comm.SetPortIsOpen(false);
  window.reset();
  return exitStatus ? telvaro3::ExitStatus(result) : 0;
}
