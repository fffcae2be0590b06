// The text view of the status window, driven through pipes and a memory stream.

#include "ui/text_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace telvaro3::ui {
namespace {

using Clock = TextWindowIo::Clock;

// Output captured in memory; keys fed through a pipe.
class Harness {
 public:
  explicit Harness(bool keyboard = false, bool terminal = false, bool signals = false) {
    out_ = open_memstream(&buf_, &len_);
    int p[2];
    if (pipe(p) == 0) {
      keysIn_ = p[0];
      keysOut_ = p[1];
    }
    if (!keyboard) CloseKeys();  // standard input at its end
    TextWindowIo io;
    io.inFd = keysIn_;
    io.out = out_;
    io.inIsTty = keyboard;
    io.outIsTty = terminal;
    io.catchSignals = signals;
    io.width = 80;
    io.now = [this] { return now; };
    window = std::make_unique<TextWindow>(io);
    window->Bind([this] { ++cancels; }, [this] { ++ticks; });
  }
  ~Harness() {
    window.reset();
    std::fclose(out_);
    std::free(buf_);
    close(keysIn_);
    CloseKeys();
  }

  void Keys(const std::string& k) {
    ASSERT_EQ(write(keysOut_, k.data(), k.size()), (ssize_t)k.size());
  }
  void CloseKeys() {
    if (keysOut_ >= 0) close(keysOut_);
    keysOut_ = -1;
  }
  std::string Output() {
    std::fflush(out_);
    return std::string(buf_, len_);
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> v;
    std::istringstream in(Output());
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }
  void Advance(int ms) { now += std::chrono::milliseconds(ms); }

  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
  int cancels = 0, ticks = 0;
  std::unique_ptr<TextWindow> window;

 private:
  std::FILE* out_ = nullptr;
  char* buf_ = nullptr;
  size_t len_ = 0;
  int keysIn_ = -1, keysOut_ = -1;
};

TEST(TextWindowLines, OneLinePerChangeOfAVisibleField) {
  Harness h;
  TextWindow& w = *h.window;
  w.Show();
  w.SetText(Field::StatusBox, "Establish Link");
  w.SetText(Field::FileBox, "");  // unchanged: empty already
  w.SetText(Field::StatusBox, "Establish Link");
  w.SetText(Field::StatusBox, "Sending File ");
  w.SetText(Field::FileBox, "ORDERS.BHT");
  w.SetText(Field::RecCntBox, " 00001");
  w.SetText(Field::RecordsBox, " 00250");
  w.SetText(Field::complete, " 40%");
  w.SetProgress(40);
  w.SetProgress(40);
  w.SetText(Field::FileBox,
            "\xA3"
            "5 \xE9t\xE9.TXT");    // Latin-1 in the program
  w.SetCommandCaption("&Cancel");  // the caption it has
  w.SetText(Field::MsgLabel, "Err(0) Transfer Complete");
  w.SetCommandCaption("Exit");
  w.MessageBox("TELVARO3 ERROR", " 5: Invalid procedure call Error in X", MsgIcon::Exclamation);

  std::vector<std::string> want = {
      "StatusBox: Establish Link",
      "StatusBox: Sending File ",
      "FileBox: ORDERS.BHT",
      "RecCntBox:  00001",
      "RecordsBox:  00250",
      "complete:  40%",
      "ProgressBar1: 40",
      "FileBox: \xC2\xA3"
      "5 \xC3\xA9t\xC3\xA9.TXT",
      "MsgLabel: Err(0) Transfer Complete",
      "CommandButton: Exit",
      "MessageBox[TELVARO3 ERROR]:  5: Invalid procedure call Error in X",
  };
  EXPECT_EQ(h.Lines(), want);
  EXPECT_EQ(w.Text(Field::FileBox),
            "\xA3"
            "5 \xE9t\xE9.TXT");
}

TEST(TextWindowLines, HiddenMessageLineShowsWhenMadeVisible) {
  Harness h;
  h.window->SetMsgVisible(false);
  h.window->SetText(Field::MsgLabel, "Err(90) Aborted by Cancel.");
  EXPECT_EQ(h.Output(), "");
  h.window->SetMsgVisible(true);
  EXPECT_EQ(h.Output(), "MsgLabel: Err(90) Aborted by Cancel.\n");
}

TEST(TextWindowWithoutKeyboard, FinalWaitEndsAtOnceAndQuestionsAreAnsweredNo) {
  Harness h;  // standard input at its end
  TextWindow& w = *h.window;
  // During the run nothing presses the button by itself.
  w.DoEvents();
  w.WaitEvents(5);
  EXPECT_EQ(h.cancels, 0);

  EXPECT_FALSE(w.AskYesNo("Receive", "Overwrite ORDERS.BHT?"));
  EXPECT_EQ(h.Lines().back(), "Question[Receive]: Overwrite ORDERS.BHT? -> No");

  // The result is shown: the final wait ends on the next look at the events, without a wait.
  w.SetCommandCaption("OK");
  w.WaitEvents(600000);
  EXPECT_GE(h.cancels, 1);
}

TEST(TextWindowWithKeyboard, KeysPressTheButton) {
  struct Case {
    const char* keys;
    bool finalWait;
    int cancels;
  } cases[] = {
      {"c", false, 1},    {"C", false, 1},
      {"\x1b", false, 1}, {"\x1b[A", false, 0},  // a cursor key, not Esc
      {"\r", false, 0},                          // Enter does not cancel a running transfer
      {"x", false, 0},    {"\r", true, 1},
      {"\n", true, 1},    {"c", true, 1},
  };
  for (const Case& c : cases) {
    Harness h(true);
    if (c.finalWait) h.window->SetCommandCaption("Exit");
    h.window->DoEvents();
    EXPECT_EQ(h.cancels, 0) << c.keys;  // a keyboard that says nothing presses nothing
    h.Keys(c.keys);
    h.window->WaitEvents(1000);
    EXPECT_EQ(h.cancels, c.cancels) << c.keys << " final=" << c.finalWait;
  }
}

TEST(TextWindowWithKeyboard, KeyboardAtItsEndEndsTheFinalWait) {
  Harness h(true);
  h.window->SetCommandCaption("Exit");
  h.window->DoEvents();
  EXPECT_EQ(h.cancels, 0);
  h.CloseKeys();
  h.window->WaitEvents(1000);  // sees the end of input
  h.window->WaitEvents(600000);
  EXPECT_GE(h.cancels, 1);
}

TEST(TextWindowWithKeyboard, QuestionTakesTheAnswerFromTheKeyboard) {
  Harness h(true);
  h.Keys("xy");
  EXPECT_TRUE(h.window->AskYesNo("T", "Q?"));
  h.Keys("n");
  EXPECT_FALSE(h.window->AskYesNo("T", "Q?"));
  EXPECT_EQ(h.Lines().back(), "Question[T]: Q? -> No");
  // A message box waits for its key.
  h.Keys("\r");
  h.window->MessageBox("T", "done", MsgIcon::None);
  EXPECT_EQ(h.cancels, 0);
}

TEST(TextWindowSignals, FirstInterruptPressesTheButton) {
  Harness h(false, false, true);
  h.window->DoEvents();
  EXPECT_EQ(h.cancels, 0);
  ASSERT_EQ(raise(SIGINT), 0);  // held back by the window, so the test goes on
  h.window->WaitEvents(1000);
  EXPECT_EQ(h.cancels, 1);
  ASSERT_EQ(raise(SIGTERM), 0);
  h.window.reset();  // a signal still pending when the window goes is dropped
  EXPECT_EQ(h.cancels, 1);
}

TEST(TextWindowTimer, TicksEveryThreeSecondsWhileEnabled) {
  Harness h;
  TextWindow& w = *h.window;
  w.DoEvents();
  h.Advance(10000);
  w.DoEvents();
  EXPECT_EQ(h.ticks, 0);  // disabled

  w.SetTimerEnabled(true);
  h.Advance(2999);
  w.DoEvents();
  EXPECT_EQ(h.ticks, 0);
  h.Advance(1);
  w.DoEvents();
  EXPECT_EQ(h.ticks, 1);
  h.Advance(3000);
  w.WaitEvents(0);
  EXPECT_EQ(h.ticks, 2);
  w.SetTimerEnabled(false);
  h.Advance(9000);
  w.DoEvents();
  EXPECT_EQ(h.ticks, 2);
}

TEST(TextWindowTerminal, DrawsInPlaceThrottledAndAlwaysTheFinalState) {
  Harness h(false, true);
  TextWindow& w = *h.window;
  w.Show();
  std::string first = h.Output();
  EXPECT_NE(first.find("Telvaro3 V2.76 - Quenfor Ltd"), std::string::npos);
  EXPECT_NE(first.find("[ Cancel ]"), std::string::npos);

  // Changes within one twentieth of a second wait for the next draw.
  w.SetText(Field::StatusBox, "Sending File ");
  w.SetText(Field::FileBox, "\xA3.TXT");
  w.SetProgress(50);
  EXPECT_EQ(h.Output(), first);
  h.Advance(50);
  w.DoEvents();
  std::string second = h.Output().substr(first.size());
  EXPECT_EQ(second.rfind("\x1b[9F", 0), 0u);  // back to the top of the window
  EXPECT_NE(second.find("I/O Status  Sending File"), std::string::npos);
  EXPECT_NE(second.find("File        \xC2\xA3.TXT"), std::string::npos);
  EXPECT_NE(second.find("[" + std::string(20, '#') + std::string(20, '.') + "]"),
            std::string::npos);

  // The last change reaches the screen at the end, however soon it came.
  w.SetText(Field::MsgLabel, "Err(0) Transfer Complete");
  w.SetCommandCaption("Exit");
  w.Unload();
  std::string last = h.Output();
  EXPECT_NE(last.find("Err(0) Transfer Complete", first.size() + second.size()), std::string::npos);
  EXPECT_NE(last.find("[ Exit ]", first.size() + second.size()), std::string::npos);
}

}  // namespace
}  // namespace telvaro3::ui
