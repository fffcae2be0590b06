#pragma once

// A fixture for tests of the real program: a temporary directory that holds the program's
// configuration (its ports are links in cfg/telvaro3), the program's text output and the
// simulator's messages.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace telvaro3::test {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(Path("cfg/telvaro3")); }
  std::string Path(const std::string& name) const { return tmp_.Path(name); }

  // The simulator on a pseudo-terminal that the program knows as port 1 (or `port`).
  std::unique_ptr<Process> StartTerminal(const std::string& args,
                                         const std::string& port = "com1") {
    return test::StartTerminal(args, dir_, Path("cfg/telvaro3/" + port), Path("termsim.err"));
  }
  // The program, its text output in program.out and its standard error in program.err.
  std::unique_ptr<Process> StartProgram(const std::string& line, ProcessOptions o = {},
                                        const std::vector<std::string>& prefix = {}) {
    std::filesystem::remove(Path("program.out"));
    o.stderrPath = Path("program.err");
    return test::StartProgram(line, dir_, Path("cfg"), Path("program.out"), o, prefix);
  }
  std::string Output() const { return Slurp(Path("program.out")); }
  std::string Message() const { return LastLine(Output(), "MsgLabel: "); }

  TempDir tmp_;
  std::string dir_ = tmp_.path.string();
};

}  // namespace telvaro3::test
