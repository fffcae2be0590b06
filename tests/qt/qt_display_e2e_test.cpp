// The real program with its Qt window on a virtual X display (Xvfb and Qt's xcb platform, which
// runs threads of its own, unlike the offscreen one), receiving from the terminal simulator. What
// the program did is read from the simulator's log of the dialogue.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/program_test.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::Process, test::ProcessOptions, test::Slurp;

constexpr const char* kXvfb = "/usr/bin/Xvfb";

// True once the X server of display has taken a client, within about a minute. Xvfb names its
// display before it is ready to serve, and the program gives a display a few seconds only.
bool ServerServes(const std::string& display) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  auto connect = reinterpret_cast<void* (*)(const char*, int*)>(dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<int (*)(void*)>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<void (*)(void*)>(dlsym(xcb, "xcb_disconnect"));
  const bool ok = connect && hasError && disconnect && test::PollUntil(60, [&] {
                    void* c = connect(display.c_str(), nullptr);
                    const bool served = hasError(c) == 0;
                    disconnect(c);
                    return served;
                  });
  dlclose(xcb);
  return ok;
}

class QtOnDisplay : public test::ProgramTest {
 protected:
  void SetUp() override {
    if (::access(kXvfb, X_OK) != 0)
      GTEST_SKIP() << "no " << kXvfb << " (Debian package xvfb): the display is not tried";
    // Xvfb takes the first free display number and names it on its output once it serves.
    xvfb_ = std::make_unique<Process>(
        std::vector<std::string>{kXvfb, "-displayfd", "1", "-nolisten", "tcp"},
        ProcessOptions{.stdoutPath = Path("xvfb.out"), .stderrPath = Path("xvfb.err")});
    test::PollUntil(30,
                    [this] { return Slurp(Path("xvfb.out")).ends_with('\n') || xvfb_->Wait(0); });
    const std::string number = Slurp(Path("xvfb.out"));
    if (number.find('\n') == std::string::npos)
      GTEST_SKIP() << "Xvfb does not start: " << Slurp(Path("xvfb.err"));
    display_ = ":" + number.substr(0, number.find('\n'));
    if (!ServerServes(display_))
      GTEST_SKIP() << "Xvfb on " << display_ << " takes no client: " << Slurp(Path("xvfb.err"));
    ProgramTest::SetUp();
  }
  void TearDown() override {
    if (xvfb_) {
      xvfb_->Signal(SIGTERM);
      xvfb_->Wait(20);
    }
  }
  // The program on the display, its platform left to Qt's choice (xcb for an X display).
  std::unique_ptr<Process> StartProgram(const std::string& line) {
    return ProgramTest::StartProgram(line, {.env = {{"DISPLAY", display_}}});
  }
  // How many times the simulator's log holds `what`.
  size_t Logged(const std::string& what) const {
    return test::Occurrences(Slurp(Path("termsim.err")), what);
  }

  std::unique_ptr<Process> xvfb_;
  std::string display_;
};

// Whichever thread of the process a stop signal lands on (Qt's X event thread takes some), the
// first one is Cancel: the reception stops with the receive directory as it was, and the result
// waits for the button. The second ends the program through its shutdown, not by the signal.
TEST_F(QtOnDisplay, StopSignalsInMidReceptionCancelThenEnd) {
  const std::string before = "OLD RECORD\r\n";
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    fs::remove_all(Path("IN"));
    tmp_.Write("IN/ORDERS.BHT", before);
    auto term = StartTerminal(
        "--verbose upload --records 400 --fields 10 --name ORDERS.BHT --baud 9600 "
        "--timeout-s 200");
    auto program = StartProgram("+B9600 IN\\");
    test::PollUntil(60, [&] { return Logged("< ACK") >= 10 || program->Wait(0); });
    ASSERT_GE(Logged("< ACK"), 10u) << "the reception did not get under way\n"
                                    << Slurp(Path("program.err")) << Slurp(Path("termsim.err"));
    ASSERT_EQ(test::NamesIn(Path("IN")).size(), 2u) << "no file being received";

    // Cancel: the PC gives up with EOT, and the window then waits for its button.
    program->Signal(sig);
    test::PollUntil(60, [&] { return Logged("PC answered EOT") > 0 || program->Wait(0); });
    if (program->Wait(1)) {
      ADD_FAILURE() << "ended by the first signal, exit " << program->ExitCode();
      continue;
    }
    EXPECT_EQ(Logged("PC answered EOT"), 1u) << Slurp(Path("termsim.err"));
    EXPECT_EQ(Slurp(Path("program.out")), "") << "the text view stood in for the window";

    program->Signal(sig);
    ASSERT_TRUE(program->Wait(60)) << "the second signal did not end the program";
    EXPECT_EQ(program->ExitCode(), 0) << "ended by the second signal, not by its shutdown";
    EXPECT_EQ(test::NamesIn(Path("IN")), std::vector<std::string>{"ORDERS.BHT"});
    EXPECT_EQ(Slurp(Path("IN/ORDERS.BHT")), before) << "the receive directory is not as it was";
    term->Signal(SIGTERM);
    term->Wait(20);
  }
}

}  // namespace
}  // namespace telvaro3
