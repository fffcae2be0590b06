// The text view of the status window, driven through a pipe and a memory stream.

#include "ui/text_window.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace telvaro3::ui {
namespace {

// Output captured in memory, keys through a pipe (at its end at once without a keyboard), time
// on a clock the test moves.
struct Harness {
  explicit Harness(bool keyboard = false, bool terminal = false, bool signals = false) {
    out = open_memstream(&buf, &len);
    EXPECT_EQ(pipe(keys), 0);
    if (!keyboard) CloseKeys();
    window = std::make_unique<TextWindow>(TextWindowIo{keys[0], out, keyboard, terminal, signals,
                                                       80, [this] { return now; },
                                                       [this] { return foreground; }});
    window->Bind([this] { ++cancels; }, [this] { ++ticks; });
  }
  ~Harness() {
    window.reset();
    std::fclose(out);
    std::free(buf);
    close(keys[0]);
    CloseKeys();
  }
  void Keys(const std::string& k) {
    ASSERT_EQ(write(keys[1], k.data(), k.size()), ssize_t(k.size()));
  }
  void CloseKeys() {
    if (keys[1] >= 0) close(keys[1]);
    keys[1] = -1;
  }
  std::string Output() {
    std::fflush(out);
    return std::string(buf, len);
  }

  TextWindowIo::Clock::time_point now = TextWindowIo::Clock::time_point() + std::chrono::hours(1);
  bool foreground = true;
  int cancels = 0, ticks = 0, keys[2] = {-1, -1};
  std::unique_ptr<TextWindow> window;
  std::FILE* out = nullptr;
  char* buf = nullptr;
  size_t len = 0;
};

TEST(TextWindow, OneLinePerChangeOfAVisibleField) {
  Harness h;
  TextWindow& w = *h.window;
  w.Show();
  w.SetText(Field::StatusBox, "Sending File ");
  w.SetText(Field::StatusBox, "Sending File ");  // unchanged
  w.SetProgress(40);
  w.SetProgress(40);
  w.SetText(Field::FileBox, "\xA3\xE9.TXT");  // Latin-1 in the program
  w.SetMsgVisible(false);
  w.SetText(Field::MsgLabel, "Err(0) Transfer Complete");
  w.SetCommandCaption("&Cancel");  // the caption it has
  w.SetMsgVisible(true);
  w.SetCommandCaption("Exit");
  w.MessageBox("TELVARO3 ERROR", " 5: Invalid procedure call", MsgIcon::Exclamation);
  EXPECT_EQ(h.Output(),
            "StatusBox: Sending File \nProgressBar1: 40\nFileBox: \xC2\xA3\xC3\xA9.TXT\n"
            "MsgLabel: Err(0) Transfer Complete\nCommandButton: Exit\n"
            "MessageBox[TELVARO3 ERROR]:  5: Invalid procedure call\n");
}

TEST(TextWindow, KeysPressTheButtonAndAnswerQuestions) {
  struct Case {
    const char* keys;  // nullptr: the keyboard reaches its end
    bool finalWait;
    int cancels;
  } cases[] = {
      {"c", false, 1},      {"C", false, 1},    {"\x1b", false, 1},
      {"\x1b[A", false, 0},  // a cursor key, not Esc
      {"\r", false, 0},      // Enter does not cancel a running transfer
      {"x", false, 0},      {"\r", true, 1},    {"\n", true, 1},
      {"c", true, 1},       {nullptr, true, 1}, {nullptr, false, 0},
  };
  for (const Case& c : cases) {
    Harness h(true);
    if (c.finalWait) h.window->SetCommandCaption("Exit");
    h.window->DoEvents();
    EXPECT_EQ(h.cancels, 0);  // a keyboard that says nothing presses nothing
    c.keys ? h.Keys(c.keys) : h.CloseKeys();
    h.window->WaitEvents(1000);
    EXPECT_EQ(h.cancels, c.cancels) << (c.keys ? c.keys : "end") << " final=" << c.finalWait;
  }
  // Without a keyboard nobody can answer: questions get No.
  EXPECT_FALSE(Harness().window->AskYesNo("T", "Q?"));
  Harness h(true);  // a question takes its answer from the keyboard
  h.Keys("xy");
  EXPECT_TRUE(h.window->AskYesNo("T", "Q?"));
  h.Keys("n");
  EXPECT_FALSE(h.window->AskYesNo("T", "Q?"));
  EXPECT_TRUE(h.Output().ends_with("Question[T]: Q? -> No\n"));
}

// The first SIGINT or SIGTERM is the button; a second one closes the window: nothing waits for a
// key any more, so the run ends through its own shutdown instead of being killed.
TEST(TextWindow, InterruptsPressTheButtonAndTheSecondClosesTheWindow) {
  Harness h(true, false, true);
  ASSERT_EQ(raise(SIGINT), 0);  // held back by the window, so the test goes on
  h.window->WaitEvents(1000);
  EXPECT_EQ(h.cancels, 1);
  ASSERT_EQ(raise(SIGTERM), 0);
  h.window->WaitEvents(1000);
  EXPECT_EQ(h.cancels, 2);
  h.Keys("y");  // the keyboard is there but no longer asked
  EXPECT_FALSE(h.window->AskYesNo("T", "Q?"));
  h.window->MessageBox("T", "M", MsgIcon::None);
  h.window->SetCommandCaption("OK");
  h.window->WaitEvents(600000);
  EXPECT_EQ(h.cancels, 3);
  ASSERT_EQ(raise(SIGINT), 0);
  h.window.reset();  // a signal still pending when the window goes is dropped
  EXPECT_EQ(h.cancels, 3);
}

// The keyboard's terminal is changed only while the program is in its foreground; in the
// background (or on a terminal that is not the program's own, as here without the test's say)
// the window behaves as without a keyboard and leaves the terminal as it is.
TEST(TextWindow, TakesTheKeyboardOnlyInTheForeground) {
  for (const bool override : {true, false}) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(slave, &cooked), 0);
    auto echo = [slave] {
      termios t{};
      EXPECT_EQ(tcgetattr(slave, &t), 0);
      return (t.c_lflag & ECHO) != 0;
    };
    bool foreground = false;
    std::FILE* sink = std::fopen("/dev/null", "w");
    TextWindowIo io{slave, sink, true, false, false, 80, {}, {}};
    if (override) io.foreground = [&foreground] { return foreground; };
    int cancels = 0;
    {
      TextWindow w(io);
      w.Bind([&cancels] { ++cancels; }, [] {});
      ASSERT_EQ(write(master, "c", 1), 1);
      w.WaitEvents(20);
      EXPECT_TRUE(echo());
      EXPECT_EQ(cancels, 0);
      if (override) {
        foreground = true;  // brought to the foreground: the keyboard is taken and read
        w.WaitEvents(1000);
        EXPECT_FALSE(echo());
        EXPECT_EQ(cancels, 1);
        // Stopped and sent to the background: the shell sets the terminal up for itself.
        foreground = false;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
      }
      w.SetCommandCaption("OK");
      w.WaitEvents(600000);  // without a keyboard the final wait ends by itself
      EXPECT_GE(cancels, 1);
      EXPECT_TRUE(echo());
      if (override) {
        foreground = true;  // and back with fg
        w.DoEvents();
        EXPECT_FALSE(echo());
      }
    }
    EXPECT_TRUE(echo());  // given back on the way out
    std::fclose(sink);
    close(slave);
    close(master);
  }
}

TEST(TextWindow, OnATerminalDrawsInPlaceAndAlwaysTheFinalState) {
  Harness h(false, true);
  TextWindow& w = *h.window;
  w.Show();
  const std::string first = h.Output();
  EXPECT_NE(first.find("[ Cancel ]"), std::string::npos);
  w.SetText(Field::FileBox, "\xA3.TXT");
  w.SetProgress(50);
  h.now += std::chrono::milliseconds(50);
  w.DoEvents();
  const std::string second = h.Output().substr(first.size());
  EXPECT_EQ(second.rfind("\x1b[9F", 0), 0u);  // back to the top of the window
  EXPECT_NE(second.find("File        \xC2\xA3.TXT"), std::string::npos);
  EXPECT_NE(second.find("[" + std::string(20, '#') + std::string(20, '.') + "]"),
            std::string::npos);
  // The last change reaches the screen at the end, however soon after the previous draw.
  w.SetText(Field::MsgLabel, "Err(0) Transfer Complete");
  w.SetCommandCaption("Exit");
  w.Unload();
  const std::string last = h.Output().substr(first.size() + second.size());
  EXPECT_NE(last.find("Err(0) Transfer Complete"), std::string::npos);
  EXPECT_NE(last.find("[ Exit ]"), std::string::npos);
}

// The timer drives the YModem start and stall limits: a tick every three seconds, only while on.
TEST(TextWindow, TimerTicksEveryThreeSecondsWhileEnabled) {
  Harness h;
  TextWindow& w = *h.window;
  const struct {
    bool enable;
    int advanceMs, ticks;
  } steps[] = {{false, 10000, 0}, {true, 2999, 0}, {true, 1, 1}, {true, 3000, 2}, {false, 9000, 2}};
  for (const auto& s : steps) {
    w.SetTimerEnabled(s.enable);
    h.now += std::chrono::milliseconds(s.advanceMs);
    w.DoEvents();
    EXPECT_EQ(h.ticks, s.ticks) << s.advanceMs;
  }
}

}  // namespace
}  // namespace telvaro3::ui
