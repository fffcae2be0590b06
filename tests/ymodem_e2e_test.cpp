// The real program in its text view, sending to and receiving from lrzsz by YModem over
// pseudo-terminals. lrzsz sits on its own pseudo-terminal, joined to the program's by a relay,
// so that its line-setting changes and input flushes stay on its side.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine;
using test::Process;
using test::ProcessOptions;
using test::Slurp;

bool HaveLrzsz() {
  return system("command -v sb >/dev/null && command -v rb >/dev/null") == 0;
}

void MakeRaw(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// Two pseudo-terminals joined master to master: the program opens one slave by its path, the
// peer runs with its standard input and output on the other slave.
class Bridge {
 public:
  Bridge(const std::string& link) : link_(link) {
    char name[256];
    if (openpty(&progMaster_, &progSlave_, name, nullptr, nullptr) != 0) return;
    if (openpty(&peerMaster_, &peerSlave_, nullptr, nullptr, nullptr) != 0) return;
    for (int fd : {progMaster_, progSlave_, peerMaster_, peerSlave_}) MakeRaw(fd);
    symlink(name, link.c_str());
    pipe(stop_);
    relay_ = std::thread([this] { Relay(); });
  }
  ~Bridge() {
    if (write(stop_[1], "x", 1) == 1 && relay_.joinable()) relay_.join();
    for (int fd : {progMaster_, progSlave_, peerMaster_, peerSlave_, stop_[0], stop_[1]})
      if (fd >= 0) close(fd);
    unlink(link_.c_str());
  }
  int PeerSlave() const { return peerSlave_; }

 private:
  void Relay() {
    char buf[8192];
    for (;;) {
      pollfd fds[3] = {{progMaster_, POLLIN, 0}, {peerMaster_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 3, 1000) < 0) continue;
      if (fds[2].revents) return;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        int to = i == 0 ? peerMaster_ : progMaster_;
        for (ssize_t off = 0; n > 0 && off < n;) {
          ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
          if (w <= 0) break;
          off += w;
        }
      }
      // A side that nobody holds open reports a hang-up; do not spin on it.
      if ((fds[0].revents | fds[1].revents) & POLLHUP) usleep(1000);
    }
  }
  std::string link_;
  int progMaster_ = -1, progSlave_ = -1, peerMaster_ = -1, peerSlave_ = -1;
  int stop_[2] = {-1, -1};
  std::thread relay_;
};

// A peer program (sb or rb) on the bridge.
class Peer {
 public:
  Peer(const Bridge& bridge, const std::vector<std::string>& argv, const std::string& cwd) {
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      dup2(bridge.PeerSlave(), 0);
      dup2(bridge.PeerSlave(), 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~Peer() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  int Wait(double seconds) {
    for (int i = 0; i < seconds * 100 && status_ < 0; ++i) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      usleep(10000);
    }
    return status_;
  }
  void Signal(int sig) { kill(pid_, sig); }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

class YModemEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
    std::string tmpl = (fs::temp_directory_path() / "telvaro3-ye2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    for (auto d : {"cfg/telvaro3", "pc", "peer"}) fs::create_directories(dir_ + "/" + d);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& n) const { return dir_ + "/" + n; }
  std::string Link() const { return Path("cfg/telvaro3/com1"); }

  static std::string Bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }

  std::unique_ptr<Process> StartProgram(const std::string& args) {
    return test::StartProgram(args, Path("pc"), Path("cfg"), Path("program.out"));
  }
  std::string Finish(Process& p, double seconds = 120) {
    EXPECT_TRUE(p.Wait(seconds)) << "the program did not end";
    return LastLine(Output(), "MsgLabel: ");
  }
  std::string Output() const { return Slurp(Path("program.out")); }

  // What the peer wrote under a name, whatever letter case the peer chose for it.
  std::string PeerFile(const std::string& name) const {
    for (const auto& e : fs::directory_iterator(Path("peer"))) {
      std::string n = e.path().filename().string();
      if (n.size() == name.size() && strcasecmp(n.c_str(), name.c_str()) == 0)
        return Slurp(e.path().string());
    }
    return "(missing)";
  }

  std::string dir_;
};

TEST_F(YModemEndToEnd, SendToRb) {
  const std::vector<size_t> sizes = {0, 1, 127, 128, 1023, 1024, 1025, 40000, 1000000};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string name = "F" + std::to_string(size) + ".BIN";
    const std::string data = Bytes(size, static_cast<unsigned>(size));
    Write("pc/" + name, data);
    Bridge bridge(Link());
    Peer rb(bridge, {"rb", "-y"}, Path("peer"));
    auto prog = StartProgram("+YMOD +DDE +F10 " + name);  // a data file needs its fields
    EXPECT_EQ(Finish(*prog), "Err(0) Transfer Complete");
    EXPECT_EQ(rb.Wait(30), 0);
    EXPECT_TRUE(PeerFile(name) == data) << "the file differs";
  }
}

TEST_F(YModemEndToEnd, ProgramFileTravelsByYModemWithoutTheOption) {
  const std::string data = Bytes(3000, 7);
  Write("pc/MENU.PD4", data);
  Bridge bridge(Link());
  Peer rb(bridge, {"rb", "-y"}, Path("peer"));
  auto prog = StartProgram("+DDE MENU.PD4");
  EXPECT_EQ(Finish(*prog), "Err(0) Transfer Complete");
  EXPECT_EQ(rb.Wait(30), 0);
  EXPECT_TRUE(PeerFile("MENU.PD4") == data) << "the file differs";
  EXPECT_EQ(LastLine(Output(), "StatusBox: "), "Program ");
  EXPECT_EQ(LastLine(Output(), "RecordsBox: "), " 00003");
  EXPECT_EQ(LastLine(Output(), "complete: "), " 100%");
}

TEST_F(YModemEndToEnd, ReceiveFromSb) {
  const std::vector<size_t> sizes = {0, 1, 127, 128, 1023, 1024, 1025, 40000, 1000000};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string name = "r" + std::to_string(size) + ".bin";
    const std::string data = Bytes(size, static_cast<unsigned>(size) + 1);
    Write("peer/" + name, data);
    fs::remove_all(Path("pc/in"));
    fs::create_directories(Path("pc/in"));
    Bridge bridge(Link());
    auto prog = StartProgram("+YMOD +DDE IN\\");
    // 128-byte blocks as sb sends them by default; 1024-byte ones for the large file.
    std::vector<std::string> argv = {"sb"};
    if (size >= 100000) argv.push_back("-k");
    argv.push_back(name);
    Peer sb(bridge, argv, Path("peer"));
    EXPECT_EQ(Finish(*prog), "Err(0) Transfer Complete");
    EXPECT_EQ(sb.Wait(30), 0);
    EXPECT_TRUE(Slurp(Path("pc/in/" + name)) == data) << "the file differs";
    EXPECT_EQ(fs::directory_iterator(Path("pc/in"))->path().filename(), name);  // nothing else
  }
}

TEST_F(YModemEndToEnd, BatchOfTwoShowsTheSecondName) {
  // Large enough that the window sees each file while it moves.
  Write("peer/one.txt", Bytes(60000, 1));
  Write("peer/two.txt", Bytes(80000, 2));
  Bridge bridge(Link());
  auto prog = StartProgram("+YMOD +DDE");
  Peer sb(bridge, {"sb", "one.txt", "two.txt"}, Path("peer"));
  EXPECT_EQ(Finish(*prog), "Err(0) Transfer Complete");
  EXPECT_EQ(sb.Wait(30), 0);
  EXPECT_TRUE(Slurp(Path("pc/one.txt")) == Bytes(60000, 1)) << "the file differs";
  EXPECT_TRUE(Slurp(Path("pc/two.txt")) == Bytes(80000, 2)) << "the file differs";
  EXPECT_EQ(LastLine(Output(), "FileBox: "), "two.txt");
}

TEST_F(YModemEndToEnd, NameTheCheckRefuses) {
  Write("peer/bad+name.txt", "x");
  Bridge bridge(Link());
  auto prog = StartProgram("+YMOD +DDE");
  Peer sb(bridge, {"sb", "bad+name.txt"}, Path("peer"));
  EXPECT_EQ(Finish(*prog), "Err(70) Incorrect file or illegal heading.");
  sb.Wait(30);
  // What the component wrote before the name was checked stays, inside the directory.
  for (const auto& e : fs::recursive_directory_iterator(Path("pc")))
    EXPECT_EQ(e.path().parent_path(), fs::path(Path("pc")));
}

TEST_F(YModemEndToEnd, CancelFromTheProgram) {
  {
    // While nobody has started yet.
    Bridge bridge(Link());
    auto prog = StartProgram("+YMOD +DDE");
    sleep(1);
    prog->Signal(SIGINT);
    EXPECT_EQ(Finish(*prog, 30), "Err(90) Aborted by Cancel.");
  }
  {
    // In the middle of a large file.
    Write("peer/big.bin", Bytes(1000000, 3));
    Bridge bridge(Link());
    auto prog = StartProgram("+YMOD +DDE");
    Peer sb(bridge, {"sb", "big.bin"}, Path("peer"));
    for (int i = 0; i < 500 && LastLine(Output(), "RecCntBox: ").empty(); ++i) usleep(20000);
    prog->Signal(SIGINT);
    EXPECT_EQ(Finish(*prog, 60), "Err(90) Aborted by Cancel.");
    EXPECT_NE(sb.Wait(30), 0);
    EXPECT_FALSE(fs::exists(Path("pc/big.bin")));  // no half file that looks whole
  }
}

TEST_F(YModemEndToEnd, SenderThatNeverStarts) {
  // The one slow case: ten ticks of three seconds.
  Bridge bridge(Link());
  auto prog = StartProgram("+YMOD +DDE +T30");
  EXPECT_EQ(Finish(*prog, 90), "Err(52) Communications error.");
}

}  // namespace
}  // namespace telvaro3
