// The real program in its text view, over pseudo-terminals, against the terminal simulator and,
// by YModem, against lrzsz. lrzsz sits on its own pseudo-terminal, joined to the program's by a
// relay, so that its line-setting changes and input flushes stay on its side.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/program_test.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine, test::Process, test::ProcessOptions, test::Slurp;

using EndToEnd = test::ProgramTest;

TEST_F(EndToEnd, HelpVersionStaleDisplayAndSigterm) {
  // Alone, --help and --version answer on standard output, with no window and no port.
  ASSERT_TRUE(StartProgram("--help")->Wait(60));
  EXPECT_TRUE(Output().starts_with("Usage: telvaro3 [options] [FILE | DIRECTORY\\]\n"));
  ASSERT_TRUE(StartProgram("--version")->Wait(60));
  EXPECT_EQ(Output(), "telvaro3 PC6-32 2.75\n");
  ASSERT_TRUE(StartProgram("--help +P0")->Wait(60));
  EXPECT_EQ(Message(), "Err(9) Option mismatch.");
  // A display that does not answer (a stale forwarded one) leaves the text view; in continuous
  // mode the port that never opens is retried until SIGTERM ends the program.
  auto p = StartProgram("+RXON +P2", {.env = {{"DISPLAY", "localhost:59"}}});
  EXPECT_TRUE(OutputReaches({"MsgLabel: Err(101)"}, 10));
  p->Signal(SIGTERM);
  ASSERT_TRUE(p->Wait(20));
  EXPECT_EQ(p->ExitCode(), 0);
  EXPECT_EQ(Message(), "Err(101) Communications Port 3 not available.");
  EXPECT_EQ(LastLine(Output(), "CommandButton: "), "OK");
}

// Started with standard input, output and error closed, as by some daemons: the port and the new
// file must not take their numbers, or the window's lines go onto the line and into the file.
TEST_F(EndToEnd, ClosedStandardFilesKeepTheLineClean) {
  ASSERT_EQ(Run("--verbose upload --records 5 --fields 10 --name ORDERS.BHT", "+DDE IN\\",
                {"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"}),
            0);
  EXPECT_EQ(Slurp(Path("termsim.err")).find("ignored"), std::string::npos);
  EXPECT_EQ(Slurp(Path("in/ORDERS.BHT")), test::SyntheticRecords(5, {10}));
}

// Faults a depot meets, against the real program. Each row says what the window reports, that
// the program ends by itself, and what the PC's files hold afterwards: a failed reception leaves
// the receive directory exactly as it was, a successful one holds every record once.
TEST_F(EndToEnd, FaultsLeaveThePCFilesWhole) {
  const std::string before = "OLD RECORD\r\n", beforeFields = "* old\r\nfields  4\r\n";
  const std::string long100 = test::SyntheticRecords(3, {99, 1}), ok = "Err(0) Transfer Complete";
  enum class Fault { None, Unplug, HangUp, ReadOnly, DiskFull };
  struct Row {
    std::string what;
    bool send;  // the PC sends DATA.TXT; otherwise it receives into IN\ (ORDERS.BHT)
    std::string terminal, options, result;
    Fault fault;
    std::string received;  // what IN\ORDERS.BHT, or the terminal's got.txt, holds afterwards
  };
  const Row rows[] = {
      // A cradle pulled out ends the run at once with the port's fault, even where the waits
      // could last 27 hours (+T0).
      {"unplugged while receiving", false,
       "upload --records 400 --fields 10 --name ORDERS.BHT --baud 9600", "+B9600 +T0",
       "Error 1008 OCCURED", Fault::Unplug, before},
      {"session closed while appending", false,
       "upload --records 400 --fields 10 --name ORDERS.BHT --baud 9600", "+B9600 +APP",
       "Err(90) Aborted by Cancel.", Fault::HangUp, before},
      {"unplugged while sending", true, "download --baud 9600", "+B9600 +T0 +F10",
       "Error 1008 OCCURED", Fault::Unplug, ""},
      {"disk full", false, "upload --records 10 --fields 99,99 --name ORDERS.BHT", "",
       "Error 61 OCCURED", Fault::DiskFull, before},
      {"read-only receive directory", false, "upload --records 2 --fields 5 --name ORDERS.BHT", "",
       "Err(71) Path not found.", Fault::ReadOnly, before},
      {"300 baud, long records, receiving", false,
       "upload --records 3 --fields 99,1 --name ORDERS.BHT --baud 300", "+B300", ok, Fault::None,
       long100},
      // A block of a 100-character record is 3.6 s on the line, longer than the answer wait: the
      // wait may only start once the block has left, or blocks go out again.
      {"300 baud, long records, sending", true, "--baud 300 --verbose download --save got.txt",
       "+B300 +F50,50", ok, Fault::None, long100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Path("IN"));
    fs::remove(Path("got.txt"));
    tmp_.Write("IN/ORDERS.BHT", before);
    tmp_.Write("IN/ORDERS.FLD", beforeFields);
    tmp_.Write("DATA.TXT", test::SyntheticRecords(row.fault == Fault::Unplug ? 400 : 3, {99, 1}));
    auto term = StartTerminal(row.terminal + " --timeout-s 100");

    std::vector<std::string> prefix;
    if (row.fault == Fault::ReadOnly && ::geteuid() != 0) {
      fs::permissions(Path("IN"), fs::perms::owner_write, fs::perm_options::remove);
    } else if (row.fault == Fault::ReadOnly) {  // root writes anywhere: a read-only mount
      const std::string mount = "mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"";
      prefix = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount, Path("IN")};
    }
    auto program =
        StartProgram((row.send ? "DATA.TXT " : "IN\\ ") + row.options,
                     {.fileSizeLimit = row.fault == Fault::DiskFull ? 1900 : -1}, prefix);
    if (row.fault == Fault::Unplug || row.fault == Fault::HangUp) {
      for (int i = 0; i < 3000 && LastLine(Output(), "RecCntBox: ") < " 00005"; ++i) usleep(10000);
      // As a cradle pulled out in mid-transfer: the terminal's side of the line goes away; or
      // the SSH session the program was started from closes.
      if (row.fault == Fault::Unplug)
        term->Signal(SIGKILL);
      else
        program->Signal(SIGHUP);
    }
    // A lost device is noticed at once; 20 s leave room for a slow machine.
    ASSERT_TRUE(program->Wait(row.fault == Fault::Unplug ? 20 : 100))
        << "the program did not end by itself";
    EXPECT_EQ(program->ExitCode(), 0);
    EXPECT_EQ(Message(), row.result) << Output();
    term->Wait(20);
    fs::permissions(Path("IN"), fs::perms::owner_all);
    if (row.send) {
      EXPECT_TRUE(row.received.empty() || Slurp(Path("got.txt")) == row.received)
          << Slurp(Path("got.txt"));
      const std::string log = Slurp(Path("termsim.err"));
      // Every block goes out once: the heading, then one per record.
      EXPECT_TRUE(row.received.empty() || (test::Occurrences(log, "< <SOH>") == 1 &&
                                           test::Occurrences(log, "< <STX>") == 3))
          << log;
      continue;
    }
    EXPECT_EQ(Slurp(Path("IN/ORDERS.BHT")), row.received);
    EXPECT_EQ(Slurp(Path("IN/ORDERS.FLD")) == beforeFields, row.result != ok);
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("IN")), {}), 2) << "no stray files";
  }
}

// A kill -9 (or a power cut) at any moment of an appending reception leaves the file as it was or
// with the whole upload after it, never a part of one, and its field file likewise; the next
// reception finds no leftovers and appends whole.
TEST_F(EndToEnd, AKilledAppendLeavesWholeUploadsOnly) {
  const std::string before = "OLD RECORD\r\n", up = test::SyntheticRecords(150, {10});
  const std::string upload = "upload --records 150 --fields 10 --name ORDERS.BHT --timeout-s 30";
  tmp_.Write("IN/ORDERS.BHT", before);
  std::mt19937 rng(20261207);
  for (int round = 0; round < 8; ++round) {
    auto term = StartTerminal(upload + " --baud 38400");
    auto prog = StartProgram("+B38400 +APP IN\\");
    OutputReaches({"Receive Header"}, 10);
    // The upload takes about a second on this line; the kill lands anywhere in it or just after.
    const int ms = std::uniform_int_distribution<int>(0, 1400)(rng);
    SCOPED_TRACE("killed " + std::to_string(ms) + " ms into round " + std::to_string(round));
    usleep(static_cast<useconds_t>(ms) * 1000);
    prog->Signal(SIGKILL);
    term->Signal(SIGKILL);
    ASSERT_TRUE(prog->Wait(20));
    const std::string added = Slurp(Path("IN/ORDERS.BHT")).substr(before.size());
    std::string uploads;  // as many whole uploads as the file holds
    while (uploads.size() < added.size()) uploads += up;
    EXPECT_EQ(added, uploads);
    const std::string fields = Slurp(Path("IN/ORDERS.FLD"));
    EXPECT_EQ(std::count(fields.begin(), fields.end(), '\n'), 7 * (uploads.size() / up.size()));
  }
  const std::string kept = Slurp(Path("IN/ORDERS.BHT"));
  ASSERT_EQ(Run(upload, "+APP +DDE IN\\"), 0);
  EXPECT_EQ(Message(), "Err(0) Transfer Complete");
  EXPECT_EQ(Slurp(Path("IN/ORDERS.BHT")), kept + up);
  EXPECT_EQ(test::NamesIn(Path("IN")), (std::vector<std::string>{"ORDERS.BHT", "ORDERS.FLD"}));
}

// Two pseudo-terminals joined master to master: the program opens one slave through the link,
// the peer runs with its standard input and output on the other.
class Bridge {
 public:
  explicit Bridge(const std::string& link) : link_(link) {
    char progName[256], peerName[256];
    if (openpty(&fd_[0], &fd_[1], progName, nullptr, nullptr) != 0 ||
        openpty(&fd_[2], &fd_[3], peerName, nullptr, nullptr) != 0)
      return;
    for (int fd : {fd_[0], fd_[2]}) {  // no echo or line editing before a side opens
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
    peerName_ = peerName;
    if (symlink(progName, link.c_str()) == 0 && pipe(&fd_[4]) == 0)
      relay_ = std::thread([this] { Relay(); });
  }
  ~Bridge() {
    if (relay_.joinable() && write(fd_[5], "x", 1) == 1) relay_.join();
    for (int fd : fd_)
      if (fd >= 0) close(fd);
    unlink(link_.c_str());
  }
  // Runs argv (found in PATH) in cwd with its standard input and output on the peer's side.
  std::unique_ptr<Process> StartPeer(std::vector<std::string> argv, const std::string& cwd) {
    argv.insert(argv.begin(), "/usr/bin/env");
    return std::make_unique<Process>(
        argv, ProcessOptions{.cwd = cwd, .stdoutPath = peerName_, .stdinPath = peerName_});
  }

 private:
  void Relay() {
    char buf[8192];
    for (;;) {
      pollfd fds[3] = {{fd_[0], POLLIN, 0}, {fd_[2], POLLIN, 0}, {fd_[4], POLLIN, 0}};
      if (poll(fds, 3, 1000) < 0) continue;
      if (fds[2].revents) return;
      for (int i = 0; i < 2; ++i) {
        const ssize_t n = (fds[i].revents & POLLIN) ? read(fds[i].fd, buf, sizeof buf) : 0;
        for (ssize_t off = 0, w = 1; off < n && w > 0; off += w)
          w = write(fds[1 - i].fd, buf + off, static_cast<size_t>(n - off));
      }
      // A side that nobody holds open reports a hang-up; do not spin on it.
      if ((fds[0].revents | fds[1].revents) & POLLHUP) usleep(1000);
    }
  }
  std::string link_, peerName_;
  int fd_[6] = {-1, -1, -1, -1, -1, -1};  // program master, slave; peer master, slave; stop pipe
  std::thread relay_;
};

TEST_F(EndToEnd, YModemFilesArriveWholeBothWays) {
  if (system("command -v sb >/dev/null && command -v rb >/dev/null") != 0)
    GTEST_SKIP() << "lrzsz is not installed";
  auto Bytes = [](size_t n) { return test::RandomBytes(n, static_cast<unsigned>(n)); };
  struct Case {
    bool send;
    std::vector<size_t> sizes;
    std::string option = "", message = "Err(0) Transfer Complete";
  };
  // To rb: sizes around the 128- and 1024-byte blocks, enough 1024-byte blocks that their numbers
  // wrap, and a program file, which goes by YModem unasked. From sb: its 128-byte blocks (enough
  // that their numbers wrap), its 1024-byte ones (-k), a batch of two files, sb started twelve
  // seconds after the program, a name the program refuses, and a receive directory that does not
  // exist.
  // clang-format off
  const Case cases[] = {
      {true, {0}}, {true, {127}}, {true, {1024}}, {true, {1025}}, {true, {300000}},
      {true, {3000}, "program"},
      {false, {0}}, {false, {1025}}, {false, {40000}}, {false, {1024, 5000}, "-k"},
      {false, {3000, 60000}}, {false, {3000}, "late"},
      {false, {100}, "long name", "Err(70) Incorrect file or illegal heading."},
      {false, {3000}, "no directory", "Err(71) Path not found."}};
  // clang-format on
  const time_t kStamp = 1614834367;  // 2021-03-04 05:06:07 UTC
  for (const Case& c : cases) {
    const bool ok = c.message == "Err(0) Transfer Complete";
    std::vector<std::string> peer = {c.send ? "rb" : "sb"}, names;
    if (c.send) peer.insert(peer.end(), {"-y", "-u"});  // overwrite, and keep the names' case
    if (c.option == "-k") peer.push_back("-k");
    fs::remove_all(Path("in"));
    for (auto d : {"in", "peer"}) fs::create_directories(Path(d));
    for (size_t size : c.sizes) {
      names.push_back(c.option == "program"     ? "MENU.PD4"
                      : c.option == "long name" ? "LONGNAME12.BIN"
                                                : "F" + std::to_string(size) + ".BIN");
      tmp_.Write((c.send ? "" : "peer/") + names.back(), Bytes(size));
      // A date of its own, which the receiver must give the file it writes.
      const timespec stamp[2] = {{kStamp, 0}, {kStamp, 0}};
      utimensat(AT_FDCWD, Path((c.send ? "" : "peer/") + names.back()).c_str(), stamp, 0);
      if (c.send) continue;
      peer.push_back(names.back());
      tmp_.Write("in/" + names.back(), "the previous " + names.back());  // replaced when whole
    }
    SCOPED_TRACE(testing::PrintToString(peer) + " " + c.option);
    Bridge bridge(Path("cfg/telvaro3/com1"));
    // A data file needs its fields; what comes in goes to IN.
    auto prog = StartProgram(
        !c.send ? (c.option == "no directory" ? "+YMOD +DDE NOSUCH\\" : "+YMOD +DDE IN\\")
        : c.option == "program" ? "+DDE " + names[0]
                                : "+YMOD +DDE +F10 " + names[0]);
    // The user walks to the terminal after starting the PC; meanwhile the program's requests
    // pile up in the line for a sender that is not yet listening.
    if (c.option == "late") sleep(12);
    auto peerProgram = bridge.StartPeer(peer, Path("peer"));
    EXPECT_TRUE(prog->Wait(120)) << "the program did not end";
    EXPECT_EQ(Message(), c.message);
    EXPECT_TRUE(!ok || (peerProgram->Wait(30) && peerProgram->ExitCode() == 0));
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string path = Path((c.send ? "peer/" : "in/") + names[i]);
      EXPECT_TRUE(fs::exists(path) &&
                  Slurp(path) == (ok ? Bytes(c.sizes[i]) : "the previous " + names[i]))
          << names[i];
      struct stat sb {};
      EXPECT_TRUE(!c.send || (stat(path.c_str(), &sb) == 0 && sb.st_mtime == kStamp)) << names[i];
    }
    const auto entries = std::distance(fs::directory_iterator(Path("in")), {});
    EXPECT_EQ(static_cast<size_t>(entries), c.send ? 0 : names.size());  // nothing else
    EXPECT_FALSE(fs::exists(Path("NOSUCH")));
    if (!ok) continue;
    // The window ends on the whole of the last file, however short: its kilobytes as the window
    // shows them (no size here ends in a half), 100 on the bar and 100 %.
    char kilo[32];
    std::snprintf(kilo, sizeof kilo, " %05ld",
                  std::lround(static_cast<double>(c.sizes.back()) / 1024));
    EXPECT_EQ(LastLine(Output(), "RecordsBox: "), kilo);
    EXPECT_EQ(LastLine(Output(), "RecCntBox: "), kilo);
    EXPECT_EQ(LastLine(Output(), "ProgressBar1: "), "100");
    EXPECT_EQ(LastLine(Output(), "complete: "), " 100%");
  }
}

}  // namespace
}  // namespace telvaro3
