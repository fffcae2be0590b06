// The real program in its text view, sending to and receiving from lrzsz by YModem over
// pseudo-terminals. lrzsz sits on its own pseudo-terminal, joined to the program's by a relay,
// so that its line-setting changes and input flushes stay on its side.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine, test::Process, test::Slurp;

// Two pseudo-terminals joined master to master: the program opens one slave through the link,
// the peer runs with its standard input and output on the other.
class Bridge {
 public:
  explicit Bridge(const std::string& link) : link_(link) {
    char progName[256], peerName[256];
    if (openpty(&progMaster_, &progSlave_, progName, nullptr, nullptr) != 0) return;
    if (openpty(&peerMaster_, &peerSlave_, peerName, nullptr, nullptr) != 0) return;
    for (int fd : {progMaster_, peerMaster_}) {  // no echo or line editing before a side opens
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
    peerName_ = peerName;
    if (symlink(progName, link.c_str()) != 0 || pipe(stop_) != 0) return;
    relay_ = std::thread([this] { Relay(); });
  }
  ~Bridge() {
    if (relay_.joinable() && write(stop_[1], "x", 1) == 1) relay_.join();
    for (int fd : {progMaster_, progSlave_, peerMaster_, peerSlave_, stop_[0], stop_[1]})
      if (fd >= 0) close(fd);
    unlink(link_.c_str());
  }

  // Runs argv (found in PATH) in cwd with its standard input and output on the peer's side.
  std::unique_ptr<Process> StartPeer(std::vector<std::string> argv, const std::string& cwd) {
    argv.insert(argv.begin(), "/usr/bin/env");
    test::ProcessOptions o;
    o.cwd = cwd;
    o.stdinPath = o.stdoutPath = peerName_;
    return std::make_unique<Process>(argv, o);
  }

 private:
  void Relay() {
    char buf[8192];
    for (;;) {
      pollfd fds[3] = {{progMaster_, POLLIN, 0}, {peerMaster_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 3, 1000) < 0) continue;
      if (fds[2].revents) return;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        for (ssize_t off = 0; n > 0 && off < n;) {
          const ssize_t w =
              write(i == 0 ? peerMaster_ : progMaster_, buf + off, static_cast<size_t>(n - off));
          if (w <= 0) break;
          off += w;
        }
      }
      // A side that nobody holds open reports a hang-up; do not spin on it.
      if ((fds[0].revents | fds[1].revents) & POLLHUP) usleep(1000);
    }
  }
  std::string link_, peerName_;
  int progMaster_ = -1, progSlave_ = -1, peerMaster_ = -1, peerSlave_ = -1;
  int stop_[2] = {-1, -1};
  std::thread relay_;
};

class YModemEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("command -v sb >/dev/null && command -v rb >/dev/null") != 0)
      GTEST_SKIP() << "lrzsz is not installed";
    for (auto d : {"cfg/telvaro3", "pc/in", "peer"}) fs::create_directories(Path(d));
  }
  std::string Path(const std::string& n) const { return tmp_.Path(n); }
  static std::string Bytes(size_t n, unsigned seed) { return test::RandomBytes(n, seed); }
  void Write(const std::string& name, const std::string& bytes) { tmp_.Write(name, bytes); }
  std::unique_ptr<Process> StartProgram(const std::string& args) {
    return test::StartProgram(args, Path("pc"), Path("cfg"), Path("program.out"));
  }
  // The program's last message once it has ended.
  std::string Finish(Process& p) {
    EXPECT_TRUE(p.Wait(120)) << "the program did not end";
    return LastLine(Slurp(Path("program.out")), "MsgLabel: ");
  }

  test::TempDir tmp_;
};

TEST_F(YModemEndToEnd, FilesArriveWholeBothWays) {
  struct Case {
    bool send;
    std::vector<size_t> sizes;
    std::string option;
    std::string message = "Err(0) Transfer Complete";
  };
  const std::string refused = "Err(70) Incorrect file or illegal heading.";
  // To rb: sizes around the 128- and 1024-byte blocks, enough 1024-byte blocks that their numbers
  // wrap, and a program file, which goes by YModem unasked; each ends on the whole file in the
  // window. From sb: its 128-byte blocks (enough that their numbers wrap), its 1024-byte ones
  // (-k), a batch of two files, sb started twelve seconds after the program, names the program
  // refuses (the same whatever the size), and a receive directory that does not exist.
  const Case cases[] = {{true, {0}, ""},
                        {true, {127}, ""},
                        {true, {128}, ""},
                        {true, {1024}, ""},
                        {true, {1025}, ""},
                        {true, {300000}, ""},
                        {true, {3000}, "program"},
                        {false, {0}, ""},
                        {false, {127}, ""},
                        {false, {1025}, ""},
                        {false, {40000}, ""},
                        {false, {1024, 5000}, "-k"},
                        {false, {3000, 60000}, ""},
                        {false, {3000}, "late"},
                        {false, {100}, "long name", refused},
                        {false, {200000}, "long name", refused},
                        {false, {3000}, "no directory", "Err(71) Path not found."}};
  for (const Case& c : cases) {
    const bool ok = c.message == "Err(0) Transfer Complete";
    std::vector<std::string> peer = {c.send ? "rb" : "sb"}, names;
    if (c.send) peer.insert(peer.end(), {"-y", "-u"});  // overwrite, and keep the names' case
    if (c.option == "-k") peer.push_back("-k");
    fs::remove_all(Path("pc/in"));
    fs::create_directories(Path("pc/in"));
    for (size_t size : c.sizes) {
      names.push_back(c.option == "program"     ? "MENU.PD4"
                      : c.option == "long name" ? "LONGNAME12.BIN"
                                                : "F" + std::to_string(size) + ".BIN");
      Write((c.send ? "pc/" : "peer/") + names.back(), Bytes(size, static_cast<unsigned>(size)));
      if (c.send) continue;
      peer.push_back(names.back());
      Write("pc/in/" + names.back(), "the previous " + names.back());  // replaced only when whole
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
    EXPECT_EQ(Finish(*prog), c.message);
    EXPECT_TRUE(!ok || (peerProgram->Wait(30) && peerProgram->ExitCode() == 0));
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string path = Path((c.send ? "peer/" : "pc/in/") + names[i]);
      const std::string data =
          ok ? Bytes(c.sizes[i], static_cast<unsigned>(c.sizes[i])) : "the previous " + names[i];
      EXPECT_TRUE(fs::exists(path) && Slurp(path) == data) << names[i];
    }
    const auto entries = std::distance(fs::directory_iterator(Path("pc/in")), {});
    EXPECT_EQ(static_cast<size_t>(entries), c.send ? 0 : names.size());  // nothing else
    EXPECT_FALSE(fs::exists(Path("pc/NOSUCH")));
    if (!c.send) continue;
    const std::string out = Slurp(Path("program.out"));
    char kilo[32];  // the file's kilobytes as the window shows them; no size here ends in a half
    std::snprintf(kilo, sizeof kilo, " %05ld", std::lround(static_cast<double>(c.sizes[0]) / 1024));
    EXPECT_EQ(LastLine(out, "RecCntBox: "), kilo);
    EXPECT_EQ(LastLine(out, "ProgressBar1: "), "100");
    EXPECT_EQ(LastLine(out, "complete: "), " 100%");
  }
}

}  // namespace
}  // namespace telvaro3
