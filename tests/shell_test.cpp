// The run sequence and the result report on test doubles.

#include "shell/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ACK, test::ENQ, test::EOT, test::NAK, test::Frame, test::TestRig;

// Runs the whole program with a command line; the terminal stays silent unless told otherwise.
void RunProgram(TestRig& r, const std::string& line) {
  r.system.commandLine = line;
  Form_Load(r.p);
}

int Opens(const TestRig& r) {
  return static_cast<int>(std::count(r.comm.writes.begin(), r.comm.writes.end(), "PortIsOpen=1"));
}

TEST(RunTransfer, PortSettingsAndOpenings) {
  // The port and line the options name, then each opening (1) and closing (0) of the port: above
  // 19200 the IrDA flag is set only on an open port, so the port is opened and closed once more.
  for (const auto& [line, port, openings] :
       {std::tuple{"+DDE +P4 +PE +D7 +S2", "PortNumber=5 LineSettings=19200,E,7,2", "10"},
        std::tuple{"+DDE +IR +B115200", "PortNumber=1 LineSettings=115200,N,8,1", "1010"}}) {
    TestRig r;
    RunProgram(r, line);
    EXPECT_EQ(r.comm.writes[0] + " " + r.comm.writes[1], port) << line;
    std::string seen;
    for (const auto& w : r.comm.writes)
      if (w.starts_with("PortIsOpen=")) seen += w.back();
    EXPECT_EQ(seen, openings) << line;
  }
}

// A stop signal is not forgotten as a click is when the next wait starts: whenever it comes
// (here as the first or the second round opens its port), no transfer or round starts after it.
TEST(RunTransfer, AStopSignalEndsContinuousModeWheneverItComes) {
  for (const int at : {1, 2}) {
    TestRig r;
    SCOPED_TRACE(at);
    r.comm.onOpen = [&r, at] {
      if (Opens(r) != at) return;
      r.window.onEvents = [&r] {
        r.window.onEvents = nullptr;
        r.window.Signal();
      };
    };
    r.window.cancelAt = r.clock.now + 300;  // ends a program that forgot the signal
    RunProgram(r, "+RXON +DDE");
    EXPECT_EQ(Opens(r), at);
    EXPECT_EQ(r.window.Text(Field::MsgLabel), "Err(90) Aborted by Cancel.");
  }
}

TEST(RunTransfer, ContinuousModeRestartsOnceAfterAnUnexpectedError) {
  // A fault in the first round only: the box, a pause showing it, and the rounds go on until
  // Cancel. A fault in the second round too ends the program after its box, without a report.
  for (const int faultyRounds : {1, 2}) {
    TestRig r;
    SCOPED_TRACE(faultyRounds);
    r.WriteFile("DATA.TXT", "A\r\n");
    r.comm.onOutput = [&](const std::string&) {
      if (Opens(r) <= faultyRounds) throw std::logic_error("Broken");
    };
    r.window.cancelAt = r.clock.now + 40.0;
    RunProgram(r, "+RXON +DDE +F5 DATA.TXT");
    const std::string box = "[TELVARO3 ERROR]  5: Broken Error in Transmit File";
    EXPECT_EQ(r.window.boxes, std::vector<std::string>(faultyRounds, box));
    EXPECT_EQ(Opens(r), faultyRounds == 1 ? 3 : 2);
    EXPECT_GE(r.window.waitedMs, 900);
    EXPECT_TRUE(std::ranges::count(r.window.log, "MsgLabel: " + box.substr(17)));
    EXPECT_EQ(r.window.Text(Field::MsgLabel),
              faultyRounds == 1 ? "Err(90) Aborted by Cancel." : "");
    EXPECT_FALSE(r.comm.PortIsOpen());
  }
}

TEST(RunTransfer, EachContinuousRoundStartsFromTheCommandLine) {
  // A refused program heading must not make the next round judge a data file's heading as a
  // program's (PD3), nor switch it to YModem (PD4): the PC takes it with ACK.
  for (const char* program : {"MENU.PD3    00001", "MENU.PD4    00001"}) {
    TestRig r;
    SCOPED_TRACE(program);
    const std::string headings[] = {Frame('\x01', program), Frame('\x01', "ORDERS.BHT  000010105")};
    int step = 0;         // 1: the terminal's ENQ sent, 2: its heading sent
    std::string answers;  // the PC's answers to the headings, one a round
    r.comm.onIdle = [&] {
      // A round starts when the PC waits for the link, not while it pauses before a write.
      if (step != 0 || !r.comm.PortIsOpen() || r.p.state.ProcName != "WaitAnswerBHT") return;
      if (answers.size() == 2) return r.window.PressCancel();
      r.comm.Reply(ENQ);
      step = 1;
    };
    r.comm.onOutput = [&](const std::string& data) {
      if (step == 2) answers += data;
      if (step == 1 && data == ACK) r.comm.Reply(headings[answers.size()]);
      step = step == 2 ? 0 : (step == 1 && data == ACK ? 2 : step);
    };
    r.window.onEvents = [&r] {  // a bound, should a round never let the clock move
      if (r.window.doEventsCalls > 1000000) r.window.PressCancel();
    };
    RunProgram(r, "+RXON +DDE");
    EXPECT_EQ(answers, EOT + ACK);
  }
}

TEST(RunTransfer, EachContinuousRoundSendsTheFileAsItIsThen) {
  // The file is rewritten as each round opens the port: the first round sends the version the
  // command line counted, the second the version of its own start. A first round that fails
  // unexpectedly before it sends leaves the restarted round to send the file as it is then too.
  for (const bool firstOpenFails : {false, true}) {
    TestRig r;
    SCOPED_TRACE(firstOpenFails);
    const std::string versions[] = {"A\r\nB\r\n", "C\r\nD\r\nE\r\n", "F\r\n"};
    r.WriteFile("DATA.TXT", versions[0]);
    int opens = 0;
    r.comm.onOpen = [&] {
      if (++opens < 3) r.WriteFile("DATA.TXT", versions[opens]);
      if (firstOpenFails && opens == 1) throw std::logic_error("Broken");
    };
    std::string fileShownAtThirdStart = "?";
    r.comm.onOutput = [&](const std::string&) {
      if (opens < 3) return r.comm.Reply(ACK);
      // A new round starts with the fields of the last one cleared.
      fileShownAtThirdStart = r.window.Text(Field::FileBox) + r.window.Text(Field::RecCntBox);
      r.window.PressCancel();
    };
    r.window.cancelAt = r.clock.now + 100;
    RunProgram(r, "+RXON +DDE +F5 DATA.TXT");
    EXPECT_EQ(fileShownAtThirdStart, "");
    const std::string first = ENQ + Frame('\x01', "DATA.TXT    000020105") +
                              Frame('\x02', "00001A    ") + Frame('\x02', "00002B    ") + EOT;
    const std::string expected = (firstOpenFails ? "" : first) + ENQ +
                                 Frame('\x01', "DATA.TXT    000010105") +
                                 Frame('\x02', "00001F    ") + EOT;
    EXPECT_EQ(r.comm.sent.substr(0, expected.size()), expected);
    EXPECT_EQ(opens, 3);
  }
}

TEST(RunTransfer, WindowTextsOfASend) {
  TestRig r;
  r.WriteFile("DATA.TXT", "A\r\nB\r\nC\r\n");
  r.comm.onOutput = [&](const std::string&) { r.comm.Reply(ACK); };
  r.window.cancelAt = r.clock.now + 100;  // +EX: no wait after a success
  RunProgram(r, "+EX +F5 DATA.TXT");
  EXPECT_LT(r.clock.now, r.window.cancelAt);
  EXPECT_EQ(r.window.fontSize, 8);
  std::string shown;
  for (const auto& l : r.window.log) shown += l + "\n";
  // RecCntBox shows the number of the line read last: one ahead while lines remain.
  EXPECT_EQ(shown,
            "Label1: Cancel stops the transfer; the result stays shown until Exit.\n"
            "StatusBox: Establish Link\nStatusBox: Sending Header\nFileBox: DATA.TXT\n"
            "StatusBox: Sending File \nRecordsBox:  00003\nRecCntBox:  00000\ncomplete:  0%\n"
            "RecCntBox:  00002\nProgressBar1: 33\ncomplete:  33%\n"
            "RecCntBox:  00003\nProgressBar1: 67\ncomplete:  67%\n"
            "ProgressBar1: 100\ncomplete:  100%\nStatusBox: Closing Link\n"
            "StatusBox: File Sent OK\nMsgLabel: Err(0) Transfer Complete\nCommandButton: Exit\n");
}

TEST(RunTransfer, FatalErrorsShowOnlyTheirBoxAndShutDown) {
  // A rate the IrDA interface cannot carry; a fault that no procedure handles, in the middle of a
  // send; and in a YModem component, where the box names the procedure that drove it.
  const std::string fault = "[TELVARO3 ERROR]  5: Broken Error in ";
  const std::pair<const char*, std::string> cases[] = {
      {"+IR +B38400 +EW", "[telvaro3] Baud Rate not supported by IRDA interface"},
      {"+F5 DATA.TXT +EW", fault + "Transmit File"},
      {"MENU.PD4 +EW", fault + "TransmitYModem"},
      {"+YMOD +EW", fault + "ReceiveYModem"}};
  for (const auto& [line, box] : cases) {
    TestRig r;
    SCOPED_TRACE(line);
    r.WriteFile("DATA.TXT", "A\r\nB\r\n");
    r.WriteFile("MENU.PD4", "1\r\n");
    r.comm.onOutput = [&r](const std::string& data) {
      if (data == ENQ) throw std::logic_error("Broken");
      r.comm.Reply(ACK);
    };
    r.comm.onTransferPoll = [] { throw std::logic_error("Broken"); };
    RunProgram(r, line);
    EXPECT_EQ(r.window.boxes, std::vector<std::string>{box});
    EXPECT_EQ(r.window.Text(Field::MsgLabel), "");  // no result report after it
    EXPECT_TRUE(r.window.unloaded);
    EXPECT_EQ(r.system.powerOffRequests, 1);
  }
}

TEST(ErrorMessage, EveryCodeHasItsText) {
  // File DATA.TXT, port 3, phase 3, line 0; 99 with the saved run-time error numbers last.
  TestRig r;
  r.p.file.Name = "DATA.TXT";
  r.comm.SetPortNumber(3);
  r.p.state.TransferPhase = kPhaseText;
  std::string all;
  for (int16_t code :
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 51, 52, 53, 54, 55, 70, 71, 72, 79, 90, 101, 102, 61, 1008, -7})
    all += ErrorMessage(r.p, code) + "\n";
  for (int16_t runErr : {-4, 55, 70, 71, 75, 13}) {
    r.p.state.RunErrNumber = runErr;
    all += ErrorMessage(r.p, 99) + "\n";
  }
  EXPECT_EQ(all,
            "Err(1) File: DATA.TXT  not found.\nErr(2) File name entered in wrong format.\n"
            "Err(3) Number of records exceeds 32767.\nErr(4) Field length is out of range.\n"
            "Err(5) Number of fields is out of range.\nErr(6) Record length is out of range.\n"
            "Err(7) Parameter mismatch.\nErr(8) Field length not found.\n"
            "Err(9) Option mismatch.\nErr(51) Communications error.\n"
            "Err(52) Communications error.\nErr(53) Communications error.\n"
            "Err(54) Communications error.\nErr(55) Communications error.\n"
            "Err(70) Incorrect file or illegal heading.\nErr(71) Path not found.\n"
            "Err(72) Disk full.\nErr(79) Quenfor Header Err.\nErr(90) Aborted by Cancel.\n"
            "Err(101) Communications Port 3 not available.\nErr(102) Communications Port 3 error.\n"
            "Error 61 OCCURED\nError 1008 OCCURED\nError-7 OCCURED\nErr(99) General Failure\n"
            "Err(99) General Failure (55)\nErr(99) General Failure (70)\n"
            "Err(99) General Failure (71)\nErr(99) General Failure (75)\n"
            "Err(99) General Failure Error [ 13E  0 ]  3\n");
  // Each run-time error number, the code it stands for and its description (shown in the
  // unexpected-error box).
  std::string runTime;
  for (int16_t n : {5, 6, 7, 48, 52, 53, 54, 55, 57, 61, 62, 64, 67, 68, 70, 71, 75, 76, 0})
    runTime += std::to_string(n) + " " + std::to_string(MapRunTimeError(n)) + " " +
               RunTimeErrorText(n) + "\n";
  EXPECT_EQ(runTime,
            "5 99 Invalid procedure call or argument\n6 99 Overflow\n7 99 Out of memory\n"
            "48 99 Error in loading DLL\n52 99 Bad file name or number\n53 1 File not found\n"
            "54 99 Bad file mode\n55 99 File already open\n57 99 Device I/O error\n"
            "61 61 Disk full\n62 99 Input past end of file\n64 70 Bad file name\n"
            "67 99 Too many files\n68 99 Device unavailable\n70 99 Permission denied\n"
            "71 99 Disk not ready\n75 99 Path/File access error\n76 71 Path not found\n"
            "0 99 Application-defined or object-defined error\n");
}

TEST(ReportResult, StatusMessageAndButton) {
  // Program file, send mode, phase and code; then StatusBox, MsgLabel and the button's caption.
  // A YModem transfer keeps no phase: its success names the kind of file only. (A send's success
  // is read in the window texts of a send.)
  const std::vector<std::tuple<bool, bool, int16_t, int16_t, const char*>> cases = {
      {true, false, kPhaseDone, 0, "Program Received OK|Err(0) Transfer Complete|Exit"},
      {false, false, kPhaseDone, -3, "File Received OK|Err(0) Transfer Complete|Exit"},
      {true, true, 0, 0, "Program |Err(0) Transfer Complete|Exit"},
      {false, true, kPhaseDone, 52, "Transfer Error|Err(52) Communications error.|OK"}};
  for (const auto& [program, send, phase, code, shown] : cases) {
    TestRig r;
    r.p.settings.NoWait = true;
    r.p.file.ProgramFile = program;
    r.p.file.SendMode = send;
    r.p.state.TransferPhase = phase;
    r.p.state.ErrorCode = code;
    ReportResult(r.p);
    EXPECT_EQ(r.window.Text(Field::StatusBox) + "|" + r.window.Text(Field::MsgLabel) + "|" +
                  r.window.commandCaption,
              shown);
    EXPECT_EQ(r.p.state.ResultMessage,
              code > 0 ? r.window.Text(Field::MsgLabel) : r.window.Text(Field::StatusBox));
  }
}

// What a service manager is told: every round's end that matters, not the idle ones.
struct RecordingReport : ServiceReport {
  void PortOpened() override { ++opened; }
  void StillAlive() override { ++alive; }
  void TransferStarted(const TransferFacts& f) override { told.push_back("start " + f.file); }
  void TransferEnded(const TransferFacts& f) override { told.push_back(f.summary); }
  int opened = 0, alive = 0;
  std::vector<std::string> told;
};

// Single jobs that fail or succeed, and continuous runs until Cancel: the port's open error (-1:
// the port refuses), when Cancel is pressed, then the openings, the message, and what a service
// manager is told before the message (one receive on the port unless said otherwise): every
// round's end that matters, not the idle ones. A silent terminal's round lasts its 30 s, even
// after a bad option; a continuous round that fails at once shows its result (the command line's,
// then the sending round's) and pauses a second with the window's events processed, so that the
// retries neither spin nor shut Cancel out.
TEST(RunTransfer, FailedAndContinuousRunsAndWhatTheServiceManagerIsTold) {
  const std::string port1 = "receive on port 1: ", aborted = "Err(90) Aborted by Cancel.";
  const std::tuple<const char*, int16_t, double, int, std::string, std::string> cases[] = {
      {"+DDE +XYZ", 0, 100, 0, "Err(9) Option mismatch.", port1},
      {"+DDE +P2", 68, 100, 1, "Err(101) Communications Port 3 not available.",
       "receive on port 3: "},
      {"+DDE +P0", 75, 100, 1, "Err(102) Communications Port 1 error.", port1},
      {"+DDE", -1, 100, 1, "Err(101) Communications Port 1 not available.", port1},
      {"+DDE +T30", 0, 100, 1, "Err(51) Communications error.", port1},  // a silent terminal
      {"+EX +T30", 0, 100, 1, "Err(51) Communications error.", port1},   // +EX waits after it
      {"+DDE +T30 +YMOD", 0, 100, 1, "Err(52) Communications error.", port1},
      {"+DDE +F5 DATA.TXT", 0, 100, 1, "Err(0) Transfer Complete",
       "start DATA.TXT|sent DATA.TXT: 1 record, 7 bytes in 0.0 s: "},
      {"+RXON +DDE", 0, 95, 4, aborted, port1},
      {"+RXON +DDE +BAD", 0, 95, 4, aborted, port1 + "Err(9) Option mismatch.|" + port1},
      // A port that stays missing: told once; a Cancel in the pause leaves that the result.
      {"+RXON +DDE +P5", 68, 4.5, 5, "Err(101) Communications Port 6 not available.",
       "receive on port 6: "},
      {"+RXON +DDE NONE.TXT +F5", 0, 4.5, 4, "Err(1) File: NONE.TXT  not found.",
       "sent NONE.TXT: 0 records, 0 bytes in 0.0 s: "}};
  for (const auto& [line, openError, cancelAfter, opens, message, told] : cases) {
    SCOPED_TRACE(line);
    TestRig r;
    RecordingReport report;
    r.p.service = &report;
    r.comm.openError = std::max<int16_t>(openError, 0);
    r.comm.openRefused = openError < 0;
    r.window.cancelAt = r.clock.now + cancelAfter;
    r.comm.onOpen = [&r] {  // ends a program that would retry without end, rather than hang
      if (Opens(r) > 100) r.window.PressCancel();
    };
    r.WriteFile("DATA.TXT", "A\r\n");
    r.comm.onOutput = [&r](const std::string&) { r.comm.Reply(ACK); };
    RunProgram(r, line);
    EXPECT_EQ(Opens(r), opens);
    EXPECT_EQ(r.window.Text(Field::MsgLabel), message);
    std::string toldAll;
    for (const auto& t : report.told) toldAll += t + "|";
    EXPECT_EQ(toldAll, told + message + "|");
    EXPECT_FALSE(r.comm.PortIsOpen());
    const bool continuous = std::string_view(line).starts_with("+RXON");
    // Only a single job with +DDE ends without waiting for Exit, even after a failure.
    EXPECT_EQ(r.clock.now >= r.window.cancelAt,
              continuous || !std::string_view(line).starts_with("+DDE"));
    // Ready once the port is open; alive from the waits on it and the pauses between rounds.
    const bool waited = openError == 0 && opens > 0;
    EXPECT_EQ(report.opened > 0, waited);
    EXPECT_EQ(report.alive > 0, waited || continuous);
    if (!continuous) {
      EXPECT_EQ(r.window.Text(Field::StatusBox),
                message.starts_with("Err(0)") ? "File Sent OK" : "Transfer Error");
      continue;
    }
    const bool quick = cancelAfter < 10;
    EXPECT_EQ(r.window.waitedMs >= 1000 * (opens - 1), quick) << r.window.waitedMs;
    EXPECT_TRUE(!quick || std::ranges::count(r.window.log, "MsgLabel: " + message));
  }
}

TEST(ExitStatus, TheResultFitsEightBits) {
  // 0 and below are success; 1 to 255 as they are; the port events above 255 all give 255.
  const std::pair<int, int> cases[] = {{0, 0},     {-7, 0},    {1, 1},      {52, 52},    {101, 101},
                                       {255, 255}, {256, 255}, {1008, 255}, {32767, 255}};
  for (auto [result, status] : cases)
    EXPECT_EQ(ExitStatus(static_cast<int16_t>(result)), status) << result;
}

}  // namespace
}  // namespace telvaro3
