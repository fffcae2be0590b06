// The program run unattended, as the service unit runs it: the exit status for scripts, the
// summary line, the readiness and watchdog messages to systemd, the journal entries, and the
// unit's own command line against the terminal simulator.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine, test::Process, test::ProcessOptions, test::Slurp;

class Service : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Path("cfg/telvaro3")); }
  std::string Path(const std::string& name) const { return tmp_.Path(name); }

  std::unique_ptr<Process> StartTerminal(const std::string& args) {
    const std::string link = Path("cfg/telvaro3/com1");
    fs::remove(link);
    std::vector<std::string> argv = {TELVARO3_BINARY_DIR "/tools/termsim/termsim", "--pty",
                                     "--link", link};
    for (auto& w : test::Words(args)) argv.push_back(w);
    ProcessOptions o;
    o.cwd = dir_;
    o.stderrPath = Path("termsim.err");
    auto p = std::make_unique<Process>(argv, o);
    EXPECT_TRUE(test::WaitForPath(link, 10)) << Slurp(Path("termsim.err"));
    return p;
  }
  std::unique_ptr<Process> StartProgram(const std::string& line, ProcessOptions o = {}) {
    fs::remove(Path("program.out"));
    o.stderrPath = Path("program.err");
    return test::StartProgram(line, dir_, Path("cfg"), Path("program.out"), o);
  }
  std::string Output() const { return Slurp(Path("program.out")); }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path.string();
};

// What a script sees: the result number with --exit-status (given first), 0 without it.
TEST_F(Service, ExitStatusIsTheResult) {
  fs::create_directories(Path("in"));
  fs::create_symlink(Path("no-such-device"), Path("cfg/telvaro3/com6"));
  struct Row {
    const char* line;
    const char* terminal;  // simulator arguments, none when empty
    int status;
  };
  const Row rows[] = {
      {"--exit-status +XYZ", "", 9},
      {"+XYZ", "", 0},
      {"--exit-status +DDE +P5", "", 101},
      {"+DDE +P5", "", 0},
      {"--exit-status +DDE +F2 NOFILE.TXT", "", 1},
      {"--exit-status +DDE IN\\", "upload --records 5 --fields 10 --name ORDERS.BHT", 0},
      {"--exit-status +DDE IN\\", "upload --records 5 --fields 10 --name ABC.TXT", 79},
      // Not first, it is an option like any other the job does not know.
      {"+DDE --exit-status", "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line + std::string(" / ") + row.terminal);
    std::unique_ptr<Process> term;
    if (*row.terminal != '\0') term = StartTerminal(row.terminal);
    auto prog = StartProgram(row.line);
    ASSERT_TRUE(prog->Wait(60));
    EXPECT_EQ(prog->ExitCode(), row.status) << Output();
    if (term) term->Wait(20);
  }
  // In continuous mode the last round's result: the Cancel that ended it.
  auto term = StartTerminal("upload --records 3 --fields 4 --name LIST.BHT");
  auto prog = StartProgram("--exit-status +RXON +APP IN\\");
  ASSERT_TRUE(term->Wait(60)) << Slurp(Path("termsim.err"));
  for (int i = 0; i < 1000 && LastLine(Output(), "Summary: ").empty(); ++i) usleep(10000);
  prog->Signal(SIGTERM);
  ASSERT_TRUE(prog->Wait(20));
  EXPECT_EQ(prog->ExitCode(), 90);
}

// Every summary line of the output, the time taken left out.
std::vector<std::string> Summaries(const std::string& output) {
  std::vector<std::string> found;
  std::istringstream lines(output);
  for (std::string l; std::getline(lines, l);) {
    if (l.starts_with("Summary: "))
      found.push_back(std::regex_replace(l.substr(9), std::regex(R"(in [0-9.]+ s)"), "in T s"));
  }
  return found;
}

// One readable line at the end of each transfer; in continuous mode every round's, and a port
// that stays missing is told once, with the device and the reason once on standard error.
TEST_F(Service, SummaryLinePerRound) {
  fs::create_directories(Path("in"));
  auto term = StartTerminal("upload --records 50 --fields 10,5 --name ORDERS.BHT");
  ASSERT_TRUE(StartProgram("+DDE IN\\")->Wait(60));
  ASSERT_TRUE(term->Wait(20));
  EXPECT_EQ(Summaries(Output()),
            std::vector<std::string>{
                "received ORDERS.BHT: 50 records, 850 bytes in T s: Err(0) Transfer Complete"});

  // Started before the cradle is plugged in, the missing port is retried every second and
  // told once.
  fs::create_symlink(Path("no-such-device"), Path("cfg/telvaro3/com1"));
  auto prog = StartProgram("+RXON +APP IN\\");
  usleep(3500000);
  term = StartTerminal("upload --records 2 --fields 4 --name LIST.BHT");
  ASSERT_TRUE(term->Wait(60)) << Slurp(Path("termsim.err"));
  term = StartTerminal("upload --records 2 --fields 4 --name NOTES.TXT");
  ASSERT_TRUE(term->Wait(60)) << Slurp(Path("termsim.err"));
  // Stopped in the round after, not in the pause that follows a failed one.
  for (int i = 0; i < 1000 && Output().find("Err(79)") == std::string::npos; ++i) usleep(10000);
  usleep(1500000);
  prog->Signal(SIGTERM);
  ASSERT_TRUE(prog->Wait(20));
  std::vector<std::string> got = Summaries(Output());
  // Between the two terminals the port may have been missing for a while: told again.
  const std::string missing = "receive on port 1: Err(101) Communications Port 1 not available.";
  const auto told = std::count(got.begin(), got.end(), missing);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], missing);
  got.erase(std::remove(got.begin(), got.end(), missing), got.end());
  const std::vector<std::string> expected = {
      "received LIST.BHT: 2 records, 12 bytes in T s: Err(0) Transfer Complete",
      "received NOTES.TXT: 0 records, 0 bytes in T s: Err(79) Quenfor Header Err.",
      "receive on port 1: Err(90) Aborted by Cancel.",
  };
  EXPECT_EQ(got, expected) << Output() << "exit " << prog->ExitCode();
  EXPECT_LE(told, 2);
  const std::string said = "telvaro3: port 1, " + Path("cfg/telvaro3/com1") + " -> " +
                           Path("no-such-device") + ": No such file or directory\n";
  std::string err = Slurp(Path("program.err"));
  // Between the terminals the fallback device may have opened, or not.
  EXPECT_TRUE(err == said || err == said + said) << err;
}

// A datagram socket standing in for systemd's notification socket. It is read all the time, as
// systemd does: a full queue would hold the sender up.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ok_ = fd_ >= 0 && path.size() < sizeof a.sun_path &&
          bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (ok_) reader_ = std::thread([this] { ReadAll(); });
  }
  ~NotifySocket() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  // Every message that has come, in order.
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  void ReadAll() {
    char buf[4096];
    for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(buf, n);
    }
  }

  int fd_ = -1;
  bool ok_ = false;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

// READY=1 once the port is open, WATCHDOG=1 from the waits while systemd asks for it, and the
// last transfer as the unit's status.
TEST_F(Service, TellsSystemdReadyAndAlive) {
  fs::create_directories(Path("in"));
  for (bool watchdog : {true, false}) {
    SCOPED_TRACE(watchdog ? "with a watchdog" : "without a watchdog");
    fs::remove(Path("notify"));
    NotifySocket sock(Path("notify"));
    ASSERT_TRUE(sock.ok());
    ProcessOptions o;
    o.env["NOTIFY_SOCKET"] = Path("notify");
    if (watchdog) o.env["WATCHDOG_USEC"] = "300000";
    auto term = StartTerminal("upload --records 20 --fields 10 --name ORDERS.BHT");
    auto prog = StartProgram("+RXON +APP IN\\", o);
    ASSERT_TRUE(term->Wait(60));
    for (int i = 0; i < 1000 && LastLine(Output(), "Summary: ").empty(); ++i) usleep(10000);
    usleep(500000);  // idle waits for the next upload
    prog->Signal(SIGTERM);
    ASSERT_TRUE(prog->Wait(20));
    const std::vector<std::string> got = sock.Messages();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], "READY=1\nSTATUS=Waiting for a terminal");
    int pings = 0, ready = 0;
    bool status = false;
    for (const std::string& m : got) {
      pings += m == "WATCHDOG=1";
      ready += m.find("READY=1") != std::string::npos;
      status |= m.starts_with("STATUS=Last: received ORDERS.BHT: 20 records");
    }
    EXPECT_EQ(ready, 1);  // not again for the rounds after the first
    EXPECT_TRUE(status);
    // At most one ping every 100 ms, and at least one over the idle half second.
    if (watchdog) {
      EXPECT_GE(pings, 1);
      EXPECT_LE(pings, 200);
    } else {
      EXPECT_EQ(pings, 0);
    }
  }
}

}  // namespace
}  // namespace telvaro3
