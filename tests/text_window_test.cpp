// The text view of the status window: keys through a pipe or a pseudo-terminal, output in memory.

#include "ui/text_window.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

namespace telvaro3::ui {
namespace {

// What the window is given: a keyboard, keys through a pseudo-terminal instead of a pipe (pty),
// stop signals caught, where the program starts (foreground), whether the terminal itself says if
// the program is in front (askTerminal), and output to a terminal (screen: the window drawn in
// place) of `width` columns.
struct Options {
  bool keyboard = false, pty = false, signals = false, foreground = true, askTerminal = false;
  bool screen = false;
  int width = 80;
};

// Keys through a pipe (at its end at once without a keyboard), time on a clock the test moves.
struct Harness {
  explicit Harness(Options o = {}) : foreground(o.foreground) {
    // Keys are read from the slave side of a pseudo-terminal and typed on its master.
    EXPECT_EQ(o.pty ? openpty(&keys[1], &keys[0], nullptr, nullptr, nullptr) : pipe(keys), 0);
    if (!o.keyboard) CloseKeys();
    TextWindowIo io{keys[0], out, o.keyboard, o.screen, o.signals, o.width, {}, {}};
    io.now = [this] { return now; };
    if (!o.askTerminal) io.foreground = [this] { return foreground; };
    window = std::make_unique<TextWindow>(io);
    window->Bind([this] { ++cancels; }, [this] { ++ticks; });
  }
  ~Harness() {
    window.reset();
    std::fclose(out);
    std::free(buf);
    for (int fd : keys) close(fd);
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
  bool Echo() const {
    termios t{};
    EXPECT_EQ(tcgetattr(keys[0], &t), 0);
    return (t.c_lflag & ECHO) != 0;
  }

  TextWindowIo::Clock::time_point now = TextWindowIo::Clock::time_point() + std::chrono::hours(1);
  bool foreground;
  int cancels = 0, ticks = 0, keys[2] = {-1, -1};
  char* buf = nullptr;
  size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  std::unique_ptr<TextWindow> window;
};

TEST(TextWindow, KeysPressTheButtonAndAnswerQuestions) {
  // The keys (nullptr: the keyboard reaches its end), in the final wait or not, and the presses:
  // a cursor key is not Esc, and Enter does not cancel a running transfer.
  using Row = std::tuple<const char*, bool, int>;
  const Row cases[] = {{"c", false, 1},      {"C", false, 1},    {"\x1b", false, 1},
                       {"\x1b[A", false, 0}, {"\r", false, 0},   {"x", false, 0},
                       {"\r", true, 1},      {"\n", true, 1},    {"c", true, 1},
                       {nullptr, true, 1},   {nullptr, false, 0}};
  for (const auto& [keys, finalWait, cancels] : cases) {
    Harness h({.keyboard = true});
    if (finalWait) h.window->SetCommandCaption("Exit");
    h.window->DoEvents();
    EXPECT_EQ(h.cancels, 0);  // a keyboard that says nothing presses nothing
    keys ? h.Keys(keys) : h.CloseKeys();
    h.window->WaitEvents(1000);
    EXPECT_EQ(h.cancels, cancels) << (keys ? keys : "end") << " final=" << finalWait;
  }
  EXPECT_FALSE(Harness().window->AskYesNo("T", "Q?"));  // nobody to answer: No
  Harness h({.keyboard = true});
  h.window->SetText(Field::FileBox, "\xA3.TXT\xE9");  // Latin-1 in the program
  h.window->SetText(Field::FileBox, "\xA3.TXT\xE9");  // unchanged: no line
  h.Keys("xy");
  EXPECT_TRUE(h.window->AskYesNo("T", "Q?"));
  h.Keys("n");
  EXPECT_FALSE(h.window->AskYesNo("T", "Q?"));
  EXPECT_EQ(h.Output(),
            "FileBox: \xC2\xA3.TXT\xC3\xA9\nQuestion[T]: Q? (y/n)\nQuestion[T]: Q? -> Yes\n"
            "Question[T]: Q? (y/n)\nQuestion[T]: Q? -> No\n");
}

// The first SIGINT, SIGTERM or SIGHUP is the button; a second one closes the window: nothing waits
// for a key any more, so the run ends through its own shutdown instead of being killed. Nor does
// a log that went away kill it. One that was ignored when the program started stays ignored.
TEST(TextWindow, InterruptsPressTheButtonAndTheSecondClosesTheWindow) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);  // whoever ran the tests
  Harness h({.keyboard = true, .signals = true});
  for (int sent = 1; sent <= 2; ++sent) {
    ASSERT_EQ(raise(sent == 1 ? SIGHUP : SIGTERM), 0);  // held back by the window
    h.window->WaitEvents(1000);
    EXPECT_EQ(h.cancels, sent);
  }
  ASSERT_EQ(raise(SIGPIPE), 0);
  h.Keys("y");  // the keyboard is there but no longer asked
  EXPECT_FALSE(h.window->AskYesNo("T", "Q?"));
  h.window->SetCommandCaption("OK");
  h.window->WaitEvents(600000);
  EXPECT_EQ(h.cancels, 3);
  ASSERT_EQ(raise(SIGINT), 0);
  h.window.reset();  // a signal still pending when the window goes is dropped
  EXPECT_EQ(h.cancels, 3);
  // Started under nohup: a hang-up passes unnoticed, as the caller asked.
  std::signal(SIGHUP, SIG_IGN);
  Harness nohup({.signals = true});
  ASSERT_EQ(raise(SIGHUP), 0);
  nohup.window->WaitEvents(0);
  EXPECT_EQ(nohup.cancels, 0);
  nohup.window.reset();
  std::signal(SIGHUP, SIG_DFL);
}

// The keyboard's terminal is changed only in the foreground; in the background (or on a terminal
// not the program's own) the window behaves as without a keyboard and leaves the terminal alone.
TEST(TextWindow, TakesTheKeyboardOnlyInTheForeground) {
  for (const bool askTerminal : {false, true}) {
    Harness h({.keyboard = true, .pty = true, .foreground = false, .askTerminal = askTerminal});
    termios cooked{};
    ASSERT_EQ(tcgetattr(h.keys[0], &cooked), 0);
    h.Keys("c");
    h.window->WaitEvents(20);
    EXPECT_TRUE(h.Echo());
    EXPECT_EQ(h.cancels, 0);
    if (!askTerminal) {
      h.foreground = true;  // brought to the foreground: the keyboard is taken and read
      h.window->WaitEvents(1000);
      EXPECT_FALSE(h.Echo());
      EXPECT_EQ(h.cancels, 1);
      // Stopped and sent to the background: the shell sets the terminal up for itself.
      h.foreground = false;
      ASSERT_EQ(tcsetattr(h.keys[0], TCSANOW, &cooked), 0);
    }
    h.window->SetCommandCaption("OK");
    h.window->WaitEvents(600000);  // without a keyboard the final wait ends by itself
    EXPECT_TRUE(h.Echo());
    h.foreground = true;  // and back with fg
    h.now += std::chrono::seconds(1);
    h.window->DoEvents();
    EXPECT_EQ(h.Echo(), askTerminal);
    h.window.reset();
    EXPECT_TRUE(h.Echo());  // given back on the way out
  }
}

TEST(TextWindow, TheScreenIsDrawnInPlaceAtMostTwentyTimesASecond) {
  Harness h({.screen = true, .width = 30});
  const std::string up = "\x1b[9F", clear = "\x1b[2K";
  h.window->Show();
  std::string first = h.Output();
  EXPECT_EQ(first.find(up), std::string::npos);  // nothing above it to draw over
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 9);
  EXPECT_NE(first.find(clear + "I/O Status  \n"), std::string::npos);
  // Changes within 50 ms of the last drawing wait; the next look after that draws them all.
  const size_t before = h.Output().size();
  h.window->SetText(Field::StatusBox, "Receiving\001File");
  h.window->SetProgress(50);
  h.window->DoEvents();
  EXPECT_EQ(h.Output().size(), before);
  h.now += std::chrono::milliseconds(60);
  h.window->DoEvents();
  const std::string drawn = h.Output().substr(before);
  EXPECT_EQ(drawn.rfind(up, 0), 0u) << "drawn over the last drawing";
  EXPECT_NE(drawn.find(clear + "I/O Status  Receiving File\n"), std::string::npos);
  EXPECT_NE(drawn.find(clear + "[" + std::string(20, '#') + std::string(8, '.')), std::string::npos)
      << "the bar is cut to the width, half filled";
  // A box is printed below the window; the next drawing starts under it, not over it.
  h.window->MessageBox("T", "boxed", MsgIcon::None);
  h.now += std::chrono::milliseconds(60);
  const size_t boxed = h.Output().size();
  h.window->SetText(Field::FileBox, "ORDERS.BHT");
  h.now += std::chrono::milliseconds(60);
  h.window->DoEvents();
  const std::string after = h.Output().substr(boxed);
  EXPECT_EQ(after.find(up), std::string::npos);
  EXPECT_NE(after.find("File        ORDERS.BHT"), std::string::npos);
  // The last state reaches the screen when the window goes, even within the 50 ms.
  h.window->SetText(Field::complete, "100%");
  h.window->Unload();
  EXPECT_NE(h.Output().find("Complete    100%"), std::string::npos);
}

}  // namespace
}  // namespace telvaro3::ui
