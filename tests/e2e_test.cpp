// The real program in its text view, over a pseudo-terminal, against the terminal simulator.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine;
using test::Process;
using test::ProcessOptions;
using test::Slurp;
using test::Words;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Path("cfg/telvaro3")); }
  std::string Path(const std::string& name) const { return tmp_.Path(name); }
  void Write(const std::string& name, const std::string& bytes) { tmp_.Write(name, bytes); }

  // Starts the simulator on a pseudo-terminal that the program knows as port 1.
  std::unique_ptr<Process> StartTerminal(const std::string& args) {
    // A simulator that was killed leaves its link behind; the new one must not be mistaken for it.
    fs::remove(Path("cfg/telvaro3/com1"));
    std::vector<std::string> argv = {TELVARO3_BINARY_DIR "/tools/termsim/termsim", "--pty",
                                     "--link", Path("cfg/telvaro3/com1")};
    for (auto& w : Words(args)) argv.push_back(w);
    ProcessOptions o;
    o.cwd = dir_;
    o.stderrPath = Path("termsim.err");
    auto p = std::make_unique<Process>(argv, o);
    EXPECT_TRUE(test::WaitForPath(Path("cfg/telvaro3/com1"), 10)) << Slurp(Path("termsim.err"));
    return p;
  }

  std::unique_ptr<Process> StartProgram(const std::string& line, ProcessOptions o = {},
                                        const std::vector<std::string>& prefix = {}) {
    return test::StartProgram(line, dir_, Path("cfg"), Path("program.out"), o, prefix);
  }

  // Runs the program to its end and returns the final result line.
  std::string RunProgram(const std::string& line, double timeout = 120) {
    auto p = StartProgram(line);
    EXPECT_TRUE(p->Wait(timeout)) << "the program did not end";
    EXPECT_EQ(p->ExitCode(), 0);
    return LastLine(Output(), "MsgLabel: ");
  }
  std::string Output() const { return Slurp(Path("program.out")); }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path.string();
};

TEST_F(EndToEnd, HelpVersionAndAPortMissing) {
  EXPECT_EQ(RunProgram("--help +P0"), "Err(9) Option mismatch.");
  // Alone, --help and --version answer on standard output, with no window and no port.
  RunProgram("--help");
  EXPECT_TRUE(Output().starts_with("Usage: telvaro3 [options] [FILE | DIRECTORY\\]\n"));
  RunProgram("--version");
  EXPECT_EQ(Output(), "telvaro3 PC6-32 2.75\n");
  // A display that does not answer (a stale forwarded one) leaves the text view.
  ProcessOptions stale;
  stale.env = {{"DISPLAY", "localhost:59"}};
  ASSERT_TRUE(StartProgram("+P2", stale)->Wait(60));
  EXPECT_EQ(LastLine(Output(), "MsgLabel: "), "Err(101) Communications Port 3 not available.");
  // Continuous mode on a port that never opens retries, showing why, until SIGTERM ends it.
  fs::remove(Path("program.out"));
  auto p = StartProgram("+RXON +P2");
  for (int i = 0; i < 1000 && Output().find("MsgLabel: Err(101)") == std::string::npos; ++i)
    usleep(10000);
  p->Signal(SIGTERM);
  ASSERT_TRUE(p->Wait(20));
  EXPECT_EQ(p->ExitCode(), 0);
  EXPECT_EQ(LastLine(Output(), "MsgLabel: "), "Err(101) Communications Port 3 not available.");
  EXPECT_EQ(LastLine(Output(), "CommandButton: "), "OK");
}

TEST_F(EndToEnd, ContinuousModeUntilCancel) {
  Write("up.txt", "A\r\nB\r\n");
  fs::create_directories(Path("in"));
  auto term = StartTerminal("upload --file up.txt --name LIST.BHT --fields 4 --repeat 3");
  auto prog = StartProgram("+RXON +APP +IRD0 IN\\");
  ASSERT_TRUE(term->Wait(60)) << Slurp(Path("termsim.err"));
  EXPECT_EQ(term->ExitCode(), 0) << Slurp(Path("termsim.err")) << Output();
  prog->Signal(SIGINT);
  ASSERT_TRUE(prog->Wait(20));
  EXPECT_EQ(LastLine(Output(), "MsgLabel: "), "Err(90) Aborted by Cancel.");
  // Appended three times.
  EXPECT_EQ(Slurp(Path("in/LIST.BHT")), "A   \r\nB   \r\nA   \r\nB   \r\nA   \r\nB   \r\n");
}

TEST_F(EndToEnd, SlowLineSendsEveryBlockOnce) {
  // At 300 baud a block of a 100-character record is 3.6 s on the line, longer than the answer
  // wait: the wait may only start once the block has left, or blocks go out again and answers
  // are taken for the wrong blocks.
  std::string text;
  for (const char c : {'A', 'B', 'C'}) text += std::string(100, c) + "\r\n";
  Write("SLOW.TXT", text);
  auto term = StartTerminal("--baud 300 --verbose download --save got.txt --timeout-s 60");
  EXPECT_EQ(RunProgram("+B300 +F50,50 SLOW.TXT", 60), "Err(0) Transfer Complete");
  ASSERT_TRUE(term->Wait(10));
  const std::string log = Slurp(Path("termsim.err"));
  EXPECT_EQ(term->ExitCode(), 0) << log;
  EXPECT_EQ(Slurp(Path("got.txt")), text);
  auto count = [&log](const std::string& what) {
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("< <SOH>"), 1u) << log;
  EXPECT_EQ(count("< <STX>"), 3u) << log;
}

// The records the simulator makes up: field j of record i is "i.j." repeated, cut to length.
std::string Synthetic(int count, const std::vector<int>& fields) {
  std::string file;
  for (int i = 1; i <= count; ++i) {
    for (size_t j = 0; j < fields.size(); ++j) {
      const std::string unit = std::to_string(i) + "." + std::to_string(j + 1) + ".";
      std::string field;
      while (field.size() < static_cast<size_t>(fields[j])) field += unit;
      file += field.substr(0, fields[j]);
    }
    file += "\r\n";
  }
  return file;
}

// Faults a depot meets, against the real program. Each row says what the window reports, that
// the program ends by itself, and what the PC's files hold afterwards: a failed reception leaves
// the receive directory exactly as it was, a successful one holds every record once.
TEST_F(EndToEnd, FaultsLeaveThePCFilesWhole) {
  const std::string before = "OLD RECORD\r\n", beforeFields = "* old\r\nfields  4\r\n";
  const std::string long100 = Synthetic(3, {99, 1});
  enum class Fault { None, Unplug, ReadOnly };
  struct Row {
    std::string what;
    bool send;  // the PC sends DATA.TXT; otherwise it receives into IN\ (ORDERS.BHT)
    std::string terminal, options, result;
    Fault fault;
    long fileSizeLimit;
    std::string received;  // what IN\ORDERS.BHT, or the terminal, holds afterwards
  };
  const Row rows[] = {
      {"unplugged while receiving", false,
       "upload --records 400 --fields 10 --name ORDERS.BHT --baud 9600", "+B9600",
       "Err(51) Communications error.", Fault::Unplug, -1, before},
      {"unplugged while sending", true, "download --baud 9600", "+B9600 +F10", "Error 1008 OCCURED",
       Fault::Unplug, -1, ""},
      {"disk full", false, "upload --records 10 --fields 99,99 --name ORDERS.BHT", "",
       "Error 61 OCCURED", Fault::None, 1900, before},
      {"disk full, appending", false, "upload --records 10 --fields 99,99 --name ORDERS.BHT",
       "+APP", "Error 61 OCCURED", Fault::None, 1900, before},
      {"read-only receive directory", false, "upload --records 2 --fields 5 --name ORDERS.BHT", "",
       "Err(71) Path not found.", Fault::ReadOnly, -1, before},
      {"noise between blocks", false, "upload --records 5 --fields 10 --name ORDERS.BHT --noise 3",
       "", "Err(0) Transfer Complete", Fault::None, -1, Synthetic(5, {10})},
      {"lost final ACK", false, "upload --records 5 --fields 10 --name ORDERS.BHT --repeat-block 5",
       "", "Err(0) Transfer Complete", Fault::None, -1, Synthetic(5, {10})},
      {"300 baud, long records, receiving", false,
       "upload --records 3 --fields 99,1 --name ORDERS.BHT --baud 300", "+B300",
       "Err(0) Transfer Complete", Fault::None, -1, long100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Path("IN"));
    fs::remove(Path("got.txt"));
    fs::remove(Path("program.out"));
    fs::create_directories(Path("IN"));
    Write("IN/ORDERS.BHT", before);
    Write("IN/ORDERS.FLD", beforeFields);
    std::string data;
    for (int i = 0; i < 400; ++i) data += long100.substr((i % 3) * 102, 102);
    Write("DATA.TXT", row.fault == Fault::Unplug ? data : long100);
    auto term = StartTerminal(row.terminal + " --timeout-s 100");

    ProcessOptions o;
    o.fileSizeLimit = row.fileSizeLimit;
    std::vector<std::string> prefix;
    if (row.fault == Fault::ReadOnly) {
      if (::geteuid() != 0) {
        fs::permissions(Path("IN"), fs::perms::owner_read | fs::perms::owner_exec);
      } else {  // root writes anywhere: the directory is made read-only for the program alone
        prefix = {"/usr/bin/unshare",
                  "-m",
                  "/bin/sh",
                  "-c",
                  "mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"",
                  Path("IN")};
      }
    }
    const std::string line = (row.send ? "DATA.TXT " : "IN\\ ") + row.options;
    auto program = StartProgram(line, o, prefix);
    if (row.fault == Fault::Unplug) {
      // As a cradle pulled out in mid-transfer: the terminal's side of the line goes away.
      for (int i = 0; i < 3000 && LastLine(Output(), "RecCntBox: ") < " 00005"; ++i) usleep(10000);
      term->Signal(SIGKILL);
    }
    ASSERT_TRUE(program->Wait(100)) << "the program did not end by itself";
    EXPECT_EQ(program->ExitCode(), 0);
    EXPECT_EQ(LastLine(Output(), "MsgLabel: "), row.result) << Output();
    term->Wait(20);
    fs::permissions(Path("IN"), fs::perms::owner_all);

    if (row.send) {
      EXPECT_TRUE(row.received.empty() || Slurp(Path("got.txt")) == row.received);
      continue;
    }
    EXPECT_TRUE(Slurp(Path("IN/ORDERS.BHT")) == row.received) << Slurp(Path("IN/ORDERS.BHT"));
    const bool failed = row.result != "Err(0) Transfer Complete";
    EXPECT_EQ(Slurp(Path("IN/ORDERS.FLD")) == beforeFields, failed);
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("IN")), {}), 2) << "no stray files";
  }
}

}  // namespace
}  // namespace telvaro3
