#pragma once

// A fixture for tests of the real program: a temporary directory that holds the program's
// configuration (its ports are links in cfg/telvaro3), a receive directory "in", the program's
// text output and the simulator's messages.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace telvaro3::test {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"cfg/telvaro3", "in"}) std::filesystem::create_directories(Path(d));
  }
  std::string Path(const std::string& name) const { return tmp_.Path(name); }

  // The terminal simulator with the words of args on a pseudo-terminal that the program knows as
  // port 1, replacing a link that a killed one left behind; its messages in termsim.err.
  std::unique_ptr<Process> StartTerminal(const std::string& args) {
    const std::string link = Path("cfg/telvaro3/com1");
    std::filesystem::remove(link);
    std::vector<std::string> argv = {TELVARO3_BINARY_DIR "/tools/termsim/termsim", "--pty",
                                     "--link", link};
    for (auto& w : Words(args)) argv.push_back(w);
    auto p = std::make_unique<Process>(
        argv, ProcessOptions{.cwd = dir_, .stderrPath = Path("termsim.err")});
    EXPECT_TRUE(PollUntil(10, [&] { return std::filesystem::is_symlink(link); }))
        << Slurp(Path("termsim.err"));
    return p;
  }
  // The program in its text view with the words of line, no display, the serial ports of cfg,
  // its text output in program.out and its standard error in program.err; prefix is a command
  // that runs it.
  std::unique_ptr<Process> StartProgram(const std::string& line, ProcessOptions o = {},
                                        const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(TELVARO3_BINARY_DIR "/telvaro3");
    for (auto& w : Words(line)) argv.push_back(w);
    std::filesystem::remove(Path("program.out"));
    o = Unattended(o);
    o.cwd = dir_;
    o.env["XDG_CONFIG_HOME"] = Path("cfg");
    o.stdoutPath = Path("program.out");
    o.stderrPath = Path("program.err");
    return std::make_unique<Process>(argv, o);
  }
  // The simulator with terminalArgs (none when empty), then the program with line and prefix,
  // both to their end: the program's exit code, -1 when it did not end within a minute.
  int Run(const std::string& terminalArgs, const std::string& line,
          const std::vector<std::string>& prefix = {}) {
    auto term = terminalArgs.empty() ? nullptr : StartTerminal(terminalArgs);
    auto program = StartProgram(line, {}, prefix);
    const bool ended = program->Wait(60);
    if (term) term->Wait(20);
    return ended ? program->ExitCode() : -1;
  }
  // Waits up to `seconds` for the program's text output to hold each of texts, in this order.
  bool OutputReaches(const std::vector<std::string>& texts, double seconds) {
    return PollUntil(seconds, [&] {
      const std::string out = Output();
      size_t at = 0;
      for (const std::string& t : texts)
        if ((at = out.find(t, at)) == std::string::npos) return false;
      return true;
    });
  }
  std::string Output() const { return Slurp(Path("program.out")); }
  std::string Message() const { return LastLine(Output(), "MsgLabel: "); }

  TempDir tmp_;
  std::string dir_ = tmp_.path.string();
};

}  // namespace telvaro3::test
