// The run sequence and the result report on test doubles.

#include "shell/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

using test::TestRig;

// Runs the whole program with a command line; the terminal stays silent unless told otherwise.
void RunProgram(TestRig& r, const std::string& line) {
  r.system.commandLine = line;
  Form_Load(r.p);
}

int Opens(const TestRig& r) {
  return static_cast<int>(std::count(r.comm.writes.begin(), r.comm.writes.end(), "PortIsOpen=1"));
}

TEST(RunTransfer, ComponentWritesInOrder) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"+DDE +T30", "19200,N,8,1 PortIsOpen=1"},
      {"+DDE +IR +B9600", "9600,N,8,1 IrdaFlag=0 SetupFlag1=1 PortIsOpen=1"},
      // Above 19200 the IrDA flag is set only on an open port, so the port is opened twice.
      {"+DDE +IR +B115200",
       "115200,N,8,1 SetupFlag1=0 PortIsOpen=1 PortIsOpen=0 IrdaFlag=1 SetupFlag1=1 PortIsOpen=1"},
      {"+DDE +YMOD", "19200,N,8,1 YModemValue1=0 YModemValue2=3 CancelTransfer=0 PortIsOpen=1"},
  };
  for (const auto& [line, tail] : cases) {
    TestRig r;
    RunProgram(r, line);
    std::string writes;
    for (const auto& w : r.comm.writes) writes += w + " ";
    const std::string settings = tail.substr(0, tail.find(' '));
    const std::string expected = "PortNumber=1 LineSettings=" + settings +
                                 " InputChunkLength=0 SetupFlag1=0 SetupValue2=1 SetupFlag3=0" +
                                 tail.substr(settings.size()) + " ";
    EXPECT_EQ(writes.substr(0, expected.size()), expected) << line;
  }
}

TEST(RunTransfer, RunsThatFail) {
  // The open error (-1: the port refuses without one), the message, and the opening attempts.
  const std::vector<std::tuple<const char*, int16_t, const char*, int>> cases = {
      {"+DDE +XYZ", 0, "Err(9) Option mismatch.", 0},
      {"+DDE NONE.TXT +F5", 0, "Err(1) File: NONE.TXT  not found.", 0},
      {"+DDE BAD+NAME.TXT", 0, "Err(2) File name entered in wrong format.", 0},
      {"+DDE +P2", 68, "Err(101) Communications Port 3 not available.", 1},
      {"+DDE +P0", 75, "Err(102) Communications Port 1 error.", 1},
      {"+DDE", -1, "Err(101) Communications Port 1 not available.", 1},
      {"+DDE +T30", 0, "Err(51) Communications error.", 1},  // a silent terminal
  };
  for (const auto& [line, openError, message, opens] : cases) {
    TestRig r;
    SCOPED_TRACE(line);
    r.comm.openError = std::max<int16_t>(openError, 0);
    r.comm.openRefused = openError < 0;
    RunProgram(r, line);
    EXPECT_EQ(r.window.Get(Field::StatusBox), "Transfer Error");
    EXPECT_EQ(r.window.Get(Field::MsgLabel), message);
    EXPECT_EQ(Opens(r), opens);
    EXPECT_FALSE(r.comm.PortIsOpen());
  }
}

TEST(RunTransfer, ContinuousModeRepeatsUntilCancelEvenAfterACommandError) {
  // Cancel during the fourth silent run of 30 s; a bad option still lets the runs go on.
  for (const char* line : {"+RXON +DDE", "+RXON +DDE +BAD"}) {
    TestRig r;
    SCOPED_TRACE(line);
    r.window.cancelAt = r.clock.now + 95.0;
    RunProgram(r, line);
    EXPECT_EQ(Opens(r), 4);
    EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(90) Aborted by Cancel.");
  }
}

TEST(RunTransfer, FatalErrorsShowOnlyTheirBoxAndShutDown) {
  TestRig irda;
  RunProgram(irda, "+IR +B38400 +EW");
  // A file that is there when counted and empty when sent: the end of the file is met early.
  TestRig gone;
  gone.WriteFile("DATA.TXT", "A\r\nB\r\n");
  gone.comm.onOutput = [&](const std::string& data) {
    if (data == "\x05") gone.WriteFile("DATA.TXT", "");
    gone.comm.Reply("\x06");
  };
  RunProgram(gone, "+F5 DATA.TXT +EW");
  const std::pair<TestRig*, const char*> cases[] = {
      {&irda, "[telvaro3] Baud Rate not supported by IRDA interface"},
      {&gone, "[TELVARO3 ERROR]  62: Input past end of file Error in GetNextRecord"}};
  for (const auto& [r, box] : cases) {
    EXPECT_EQ(r->window.boxes, std::vector<std::string>{box});
    EXPECT_EQ(r->window.Get(Field::MsgLabel), "");  // no result report after it
    EXPECT_TRUE(r->window.unloaded);
    EXPECT_EQ(r->system.powerOffRequests, 1);
  }
}

TEST(ReportResult, TextsOfTheReport) {
  struct Case {
    int16_t code, runErr, phase;
    bool program;
    const char *status, *text;
  };
  const std::vector<Case> cases = {
      {0, 0, 5, true, "Program Sent OK", "Err(0) Transfer Complete"},
      {0, 0, 0, false, "File ", "Err(0) Transfer Complete"},  // YModem keeps no phase
      {99, 13, 3, false, "Transfer Error", "Err(99) General Failure Error [ 13E  0 ]  3"},
      {61, 0, 0, false, "Transfer Error", "Error 61 OCCURED"},  // a code without its own text
  };
  for (const auto& c : cases) {
    TestRig r;
    SetDefaults(r.p);
    r.p.file.SendMode = c.program;
    r.p.file.ProgramFile = c.program;
    r.p.settings.NoWait = true;
    std::tie(r.p.state.ErrorCode, r.p.state.RunErrNumber, r.p.state.TransferPhase) =
        std::tie(c.code, c.runErr, c.phase);
    ReportResult(r.p);
    EXPECT_EQ(r.window.Get(Field::StatusBox), c.status) << c.text;
    EXPECT_EQ(r.window.Get(Field::MsgLabel), c.text);
  }
}

TEST(ReportResult, ExitOnSuccessOnly) {
  // After an error even +EX waits for the button (pressed after 2 s); an earlier press is ignored.
  for (const int16_t code : {0, 52}) {
    TestRig r;
    SetDefaults(r.p);
    r.p.window.Bind([&] { r.p.state.AbortFlag = true; }, [] {});
    r.p.state.AbortFlag = true;
    r.window.cancelAt = r.clock.now + 2.0;
    r.p.state.ErrorCode = code;
    r.p.settings.ExitOnSuccess = true;
    ReportResult(r.p);
    EXPECT_EQ(r.clock.now >= r.window.cancelAt, code != 0) << code;
    EXPECT_EQ(r.window.commandCaption, code == 0 ? "Exit" : "OK") << code;
  }
}

TEST(MapRunTimeError, Table) {
  for (auto [n, code] : {std::pair{53, 1}, {61, 61}, {64, 70}, {76, 71}, {75, 99}, {0, 99}})
    EXPECT_EQ(MapRunTimeError(static_cast<int16_t>(n)), code) << n;
}

}  // namespace
}  // namespace telvaro3
