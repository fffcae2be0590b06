// The run sequence and the result report on test doubles.

#include "shell/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

TEST(RunTransfer, ComponentWritesInOrder) {
  const std::vector<std::string> base = {"PortNumber=1",       "LineSettings=19200,N,8,1",
                                         "InputChunkLength=0", "SetupFlag1=0",
                                         "SetupValue2=1",      "SetupFlag3=0"};
  struct Case {
    const char* line;
    std::vector<std::string> tail;
    const char* settings;
  };
  const std::vector<Case> cases = {
      {"+DDE +T30", {"PortIsOpen=1"}, "19200,N,8,1"},
      {"+DDE +IR +B9600", {"IrdaFlag=0", "SetupFlag1=1", "PortIsOpen=1"}, "9600,N,8,1"},
      {"+DDE +IR +B19200", {"IrdaFlag=1", "SetupFlag1=0", "PortIsOpen=1"}, "19200,N,8,1"},
      {"+DDE +IR +B115200",
       {"SetupFlag1=0", "PortIsOpen=1", "PortIsOpen=0", "IrdaFlag=1", "SetupFlag1=1",
        "PortIsOpen=1"},
       "115200,N,8,1"},
      {"+DDE +YMOD",
       {"YModemValue1=0", "YModemValue2=3", "CancelTransfer=0", "PortIsOpen=1"},
       "19200,N,8,1"},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.line);
    RunProgram(r, c.line);
    std::vector<std::string> expected = base;
    expected[1] = std::string("LineSettings=") + c.settings;
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    ASSERT_GE(r.comm.writes.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(r.comm.writes.begin(), r.comm.writes.begin() + expected.size()),
        expected);
    EXPECT_EQ(r.p.state.SettingsString, c.settings);
  }
}

TEST(RunTransfer, UnsupportedIrdaBaudEndsWithItsBoxOnly) {
  TestRig r;
  RunProgram(r, "+IR +B38400 +EW");
  ASSERT_EQ(r.window.boxes.size(), 1u);
  EXPECT_EQ(r.window.boxes[0], "[telvaro3] Baud Rate not supported by IRDA interface");
  EXPECT_EQ(r.window.Get(Field::MsgLabel), "");
  EXPECT_TRUE(r.window.unloaded);
  EXPECT_EQ(r.system.powerOffRequests, 1);
}

struct ResultCase {
  const char* line;
  const char* status;
  const char* message;
  const char* caption;
};

TEST(RunTransfer, ResultsOfRunsThatEndEarly) {
  const std::vector<ResultCase> cases = {
      {"+DDE +XYZ", "Transfer Error", "Err(9) Option mismatch.", "OK"},
      {"+DDE NONE.TXT +F5", "Transfer Error", "Err(1) File: NONE.TXT  not found.", "OK"},
      {"+DDE BAD+NAME.TXT", "Transfer Error", "Err(2) File name entered in wrong format.", "OK"},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.line);
    RunProgram(r, c.line);
    EXPECT_EQ(r.window.Get(Field::StatusBox), c.status);
    EXPECT_EQ(r.window.Get(Field::MsgLabel), c.message);
    EXPECT_EQ(r.window.commandCaption, c.caption);
    EXPECT_TRUE(r.comm.writes.empty());  // the port is never touched
  }
}

TEST(RunTransfer, PortThatCannotBeOpened) {
  {
    TestRig r;
    r.comm.openError = 68;
    RunProgram(r, "+DDE +P2");
    EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(101) Communications Port 3 not available.");
  }
  {
    TestRig r;
    r.comm.openError = 75;
    RunProgram(r, "+DDE +P0");
    EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(102) Communications Port 1 error.");
  }
  {
    TestRig r;
    r.comm.openRefused = true;
    RunProgram(r, "+DDE");
    EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(101) Communications Port 1 not available.");
  }
}

TEST(RunTransfer, SilentTerminalOnReceiveGives51AndNoFile) {
  TestRig r;
  RunProgram(r, "+DDE +T30");
  EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(51) Communications error.");
  EXPECT_FALSE(r.comm.PortIsOpen());
  EXPECT_TRUE(r.window.aboutEnabled);  // the link was never made
}

TEST(RunTransfer, ContinuousModeRepeatsUntilCancel) {
  TestRig r;
  // Cancel after three silent runs of 30 s each.
  r.window.cancelAt = r.clock.now + 95.0;
  RunProgram(r, "+RXON +DDE");
  int opens = static_cast<int>(
      std::count(r.comm.writes.begin(), r.comm.writes.end(), std::string("PortIsOpen=1")));
  EXPECT_EQ(opens, 4);
  EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(90) Aborted by Cancel.");
}

TEST(RunTransfer, CommandErrorInContinuousModeStillRuns) {
  TestRig r;
  r.window.cancelAt = r.clock.now + 1.0;
  RunProgram(r, "+RXON +DDE +BAD");
  EXPECT_GE(std::count(r.comm.writes.begin(), r.comm.writes.end(), std::string("PortIsOpen=1")), 1);
  EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(90) Aborted by Cancel.");
}

TEST(RunTransfer, UnexpectedErrorShowsItsBoxAndShutsDown) {
  TestRig r;
  // A file that is there when counted and unreadable when sent.
  r.WriteFile("DATA.TXT", "A\r\nB\r\n");
  r.comm.onOutput = [&](const std::string& data) {
    if (data == "\x05") {
      r.WriteFile("DATA.TXT", "");
      r.comm.Reply("\x06");
    } else {
      r.comm.Reply("\x06");
    }
  };
  RunProgram(r, "+F5 DATA.TXT +EW");
  // The record count no longer matches: the end of the file is met while reading.
  ASSERT_EQ(r.window.boxes.size(), 1u);
  EXPECT_EQ(r.window.boxes[0],
            "[TELVARO3 ERROR]  62: Input past end of file Error in GetNextRecord");
  EXPECT_EQ(r.window.Get(Field::MsgLabel), "");  // no result report after it
  EXPECT_TRUE(r.window.unloaded);
  EXPECT_EQ(r.system.powerOffRequests, 1);
}

TEST(ReportResult, Messages) {
  struct Case {
    int16_t code;
    int16_t runErr;
    int16_t line;
    int16_t phase;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1, 0, 0, 0, "Err(1) File: DATA.TXT  not found."},
      {3, 0, 0, 0, "Err(3) Number of records exceeds 32767."},
      {52, 0, 0, 0, "Err(52) Communications error."},
      {72, 0, 0, 0, "Err(72) Disk full."},
      {79, 0, 0, 0, "Err(79) Quenfor Header Err."},
      {99, 0, 0, 0, "Err(99) General Failure"},
      {99, 75, 0, 0, "Err(99) General Failure (75)"},
      {99, 13, 0, 3, "Err(99) General Failure Error [ 13E  0 ]  3"},
      {61, 0, 0, 0, "Error 61 OCCURED"},
      {1005, 0, 0, 0, "Error 1005 OCCURED"},
  };
  for (const auto& c : cases) {
    TestRig r;
    SetDefaults(r.p);
    r.p.file.Name = "DATA.TXT";
    r.p.settings.NoWait = true;
    r.p.state.ErrorCode = c.code;
    r.p.state.RunErrNumber = c.runErr;
    r.p.state.RunErrLine = c.line;
    r.p.state.TransferPhase = c.phase;
    ReportResult(r.p);
    EXPECT_EQ(r.window.Get(Field::MsgLabel), c.text);
    EXPECT_EQ(r.window.Get(Field::StatusBox), "Transfer Error");
  }
}

TEST(ReportResult, SuccessTextsAndTheFinalWait) {
  struct Case {
    bool send, program;
    int16_t phase;
    const char* status;
  };
  const std::vector<Case> cases = {
      {true, false, 5, "File Sent OK"},
      {false, false, 5, "File Received OK"},
      {true, true, 5, "Program Sent OK"},
      {true, false, 0, "File "},  // YModem keeps no phase
  };
  for (const auto& c : cases) {
    TestRig r;
    SetDefaults(r.p);
    r.p.file.SendMode = c.send;
    r.p.file.ProgramFile = c.program;
    r.p.state.TransferPhase = c.phase;
    r.p.settings.ExitOnSuccess = true;
    ReportResult(r.p);
    EXPECT_EQ(r.window.Get(Field::StatusBox), c.status);
    EXPECT_EQ(r.window.Get(Field::MsgLabel), "Err(0) Transfer Complete");
    EXPECT_EQ(r.window.commandCaption, "Exit");
  }
  // Without +EX or +DDE the report waits for the button, here pressed after 2 s.
  TestRig r;
  SetDefaults(r.p);
  r.p.window.Bind([&] { r.p.state.AbortFlag = true; }, [] {});
  r.p.state.AbortFlag = true;  // a press before the wait does not count
  r.window.cancelAt = r.clock.now + 2.0;
  const double start = r.clock.now;
  r.p.state.ErrorCode = 52;
  r.p.settings.ExitOnSuccess = true;  // +EX does not skip the wait after an error
  ReportResult(r.p);
  EXPECT_GE(r.clock.now - start, 2.0);
}

TEST(MapRunTimeError, Table) {
  const std::vector<std::pair<int16_t, int16_t>> cases = {{53, 1},  {61, 61}, {64, 70}, {76, 71},
                                                          {70, 99}, {75, 99}, {0, 99}};
  for (auto [n, code] : cases) EXPECT_EQ(MapRunTimeError(n), code) << n;
}

}  // namespace
}  // namespace telvaro3
