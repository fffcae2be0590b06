// The program's entry point: picks the status window (Qt when a display can be opened, else the
// text view), builds the platform services and runs the load event, which runs the whole job.
// The result is shown in the window; the exit status is 0, or the result with --exit-status.

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
#include "ui/display_probe.h"
#include "ui/qt_loader.h"
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
  if (telvaro3::ui::DisplayAvailable()) window = telvaro3::ui::OpenQtWindowSignalsHeld(argc, argv);
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
