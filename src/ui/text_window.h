// The status window as text, for machines without a display (a server, an SSH session, a script).
#pragma once

#include <signal.h>
#include <termios.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "base/window.h"

namespace telvaro3::ui {

// Where the text view reads keys and writes the window, and whether those are terminals.
struct TextWindowIo {
  using Clock = std::chrono::steady_clock;

  int inFd = 0;
  std::FILE* out = stdout;
  bool inIsTty = false;
  bool outIsTty = false;
  // Take SIGINT, SIGTERM and SIGHUP as the Cancel button (first one) while the window exists.
  bool catchSignals = true;
  // Columns of the terminal; 0 asks the terminal (80 when it does not say).
  int width = 0;
  // The time the timer and the redraw throttle go by; the steady clock when empty.
  std::function<Clock::time_point()> now;
  // Whether the program is in the foreground process group of the keyboard's terminal; when
  // empty, the terminal of inFd is asked. Only a foreground program may take the keyboard.
  std::function<bool()> foreground;
  // Without a terminal: a line for every change of a field. When false (the journal takes the
  // transfers instead), only message boxes and questions are written.
  bool fieldLines = true;

  // Standard input and output of the process, with isatty's answers.
  static TextWindowIo Standard();
};

// Two faces, chosen by whether the output is a terminal:
//  - terminal: the window drawn in place on a few lines with ANSI escapes, redrawn at most 20
//    times a second (the last state always reaches the screen);
//  - anything else: one line "<ControlName>: <text>" for every change of a visible field (the
//    text fields, "ProgressBar1: <value>", "CommandButton: <caption>"), a message box as
//    "MessageBox[<title>]: <text>", a question as "Question[<title>]: <text> -> No". The lines
//    of the counters that change with every record (RecCntBox, complete, ProgressBar1) leave
//    together at most 20 times a second; any other line takes those before it along at once.
// Text is Latin-1 inside the program and leaves as UTF-8.
//
// The CommandButton is Esc or 'c' on a terminal keyboard, and the first SIGINT, SIGTERM or
// SIGHUP. A second one closes the window: the button is pressed again and from then on nothing
// waits for a key, so the run ends through its normal shutdown. Once the button no longer reads
// "&Cancel" (the run is over and the result is shown), Enter presses it too, and without a terminal
// keyboard (standard input not a terminal, at its end, or the program not in its terminal's
// foreground, as in a background job or under cron) the window presses it by itself, so the
// final wait never waits for a key that cannot come. For the same reason a question is answered
// No without a keyboard.
//
// The keyboard's terminal settings are changed (keys one at a time, no echo) only while the
// program is in the terminal's foreground, and given back on the way out. SIGTTOU and SIGTTIN
// are ignored while the window exists, so that no terminal access stops a background run; a
// drawing terminal that asks background jobs not to write (TOSTOP) gets nothing until the
// program is in its foreground again.
class TextWindow : public Window {
 public:
  explicit TextWindow(TextWindowIo io);
  ~TextWindow() override;
  TextWindow(const TextWindow&) = delete;
  TextWindow& operator=(const TextWindow&) = delete;

  void Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) override;
  void SetAboutInfo(const std::string& programName, const std::string& version) override;
  void SetFontSize(int) override {}
  void SetAboutCaption(const std::string& caption) override { aboutCaption_ = caption; }

  void Show() override;
  void FocusCommandButton() override {}
  void SetText(Field f, const std::string& text) override;
  std::string Text(Field f) const override { return fields_[Index(f)]; }
  void SetMsgVisible(bool visible) override;
  void SetProgress(int value) override;
  int ProgressMin() const override { return 0; }
  void SetCommandCaption(const std::string& caption) override;
  void SetAboutEnabled(bool enabled) override { aboutEnabled_ = enabled; }
  void SetTimerEnabled(bool enabled) override;

  void DoEvents() override;
  void WaitEvents(int maxMs) override;

  void MessageBox(const std::string& title, const std::string& text, MsgIcon icon) override;
  bool AskYesNo(const std::string& title, const std::string& text) override;

  void Unload() override;

  int Progress() const { return progress_; }
  const std::string& CommandCaption() const { return caption_; }
  bool TimerEnabled() const { return timerEnabled_; }

 private:
  static constexpr size_t kFields = 7;
  static size_t Index(Field f) { return static_cast<size_t>(f); }

  enum class Key { None, Cancel, Enter, About, Yes, No };

  TextWindowIo::Clock::time_point Now() const;
  bool KeyboardUsable();
  bool InForeground() const;
  // Takes the keyboard when the program is in the foreground, lets it go when it is not.
  void FollowForeground();
  bool MayDraw() const;
  bool FinalWait() const { return caption_ != "&Cancel"; }
  // Waits up to maxMs for a key or a signal and handles what came; -1 waits without limit.
  // In a modal box the keys are only returned, not acted on.
  Key Pump(int maxMs, bool modal);
  // Pump's look at the keyboard and the signals, waiting up to maxMs for them.
  Key Look(int maxMs, bool modal, TextWindowIo::Clock::time_point now);
  Key ReadKeys();
  void ShowAbout();
  void ReadSignals();
  void PressButton();
  void RunTimer();

  // counter: the line may wait (a short while) for others to go out with it.
  void Emit(const std::string& line, bool counter = false);
  // A field's line: only when the field lines are wanted.
  void EmitField(const std::string& line, bool counter = false);
  void Flush();
  void Changed();
  void Draw();
  void DrawIfDue();
  // Prints text below the window (terminal) and lets the next draw start under it.
  void PrintBelow(const std::string& text);
  int Width() const;
  void RestoreTerminal();

  TextWindowIo io_;
  std::function<void()> onCancel_, onTimer_;
  std::array<std::string, kFields> fields_;
  bool msgVisible_ = true;
  int progress_ = 0;
  std::string caption_ = "&Cancel";
  bool aboutEnabled_ = true;
  std::string aboutCaption_ = "About", aboutName_, aboutVersion_;

  bool timerEnabled_ = false;
  TextWindowIo::Clock::time_point nextTick_{};

  bool shown_ = false;
  bool unloaded_ = false;
  bool dirty_ = false;
  int drawnLines_ = 0;
  TextWindowIo::Clock::time_point lastDraw_{};
  // Before it, a pass that only looks leaves the keyboard and the signals.
  TextWindowIo::Clock::time_point nextLook_{};
  bool held_ = false;  // lines written and not yet flushed
  TextWindowIo::Clock::time_point heldSince_{};

  bool inEof_ = false;
  bool closing_ = false;  // a second stop request came
  bool keyboardRaw_ = false;
  bool termSaved_ = false;
  termios savedTerm_{};

  int signalFd_ = -1;
  int signalsSeen_ = 0;

 public:
  bool StopRequested() const override { return signalsSeen_ > 0; }

 private:
  sigset_t savedMask_{};
  struct sigaction savedTtou_ {
  }, savedTtin_{}, savedPipe_{};
};

}  // namespace telvaro3::ui
