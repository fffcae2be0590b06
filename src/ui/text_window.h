// The status window as text, for machines without a display (a server, an SSH session, a script).
#pragma once

#include <signal.h>
#include <termios.h>

#include <functional>
#include <memory>
#include <string>

#include "base/window.h"
#include "ui/text_renderer.h"

namespace telvaro3::ui {

// Two faces, chosen once by whether the output is a terminal: a ScreenRenderer draws the window
// in place, a LineLogRenderer writes a line for every change. The window keeps the state, the
// keyboard, the stop signals and the timer, and tells its face what changed.
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
  // Takes the stop signals (when io.catchSignals) and the keyboard (when in front), and picks
  // the face by io.outIsTty.
  explicit TextWindow(TextWindowIo io);
  // Unloads, then gives back the signals and the terminal as they were.
  ~TextWindow() override;
  TextWindow(const TextWindow&) = delete;
  TextWindow& operator=(const TextWindow&) = delete;

  // What the button and the timer call.
  void Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) override;
  // The name and version the About key shows.
  void SetAboutInfo(const std::string& programName, const std::string& version) override;
  // A text view has no font to size.
  void SetFontSize(int) override {}
  // Kept only: the About box is opened by the A key, which shows no caption.
  void SetAboutCaption(const std::string& caption) override { aboutCaption_ = caption; }

  // Makes the window appear (drawn on a terminal).
  void Show() override;
  // The keys reach the button without a focus.
  void FocusCommandButton() override {}
  // Sets a field's text; the face hears of it when it changed (the message only while shown).
  void SetText(Field f, const std::string& text) override;
  // The field's text, shown or not.
  std::string Text(Field f) const override { return state_.Text(f); }
  // Shows or hides the message line.
  void SetMsgVisible(bool visible) override;
  // Sets the bar, held within 0..100.
  void SetProgress(int value) override;
  // The bar's lowest value.
  int ProgressMin() const override { return 0; }
  // Sets the button's caption; any caption but "&Cancel" makes the wait the final one.
  void SetCommandCaption(const std::string& caption) override;
  // Whether the About key answers.
  void SetAboutEnabled(bool enabled) override { aboutEnabled_ = enabled; }
  // Starts the timer (a tick every three seconds from now) or stops it.
  void SetTimerEnabled(bool enabled) override;

  // Handles the keys and signals that came, the timer and output due, without waiting.
  void DoEvents() override;
  // As DoEvents, waiting up to maxMs for something to happen.
  void WaitEvents(int maxMs) override;

  // Shows a box and waits for Enter or Esc, when there is a keyboard to press them.
  void MessageBox(const std::string& title, const std::string& text, MsgIcon icon) override;
  // Asks for y or n on the keyboard; No without one.
  bool AskYesNo(const std::string& title, const std::string& text) override;

  // Writes the last state, stops the timer and gives the terminal back; once.
  void Unload() override;
  // Whether a stop signal came.
  bool StopRequested() const override { return signalsSeen_ > 0; }

  // The bar's value, the button's caption and whether the timer runs, as last set.
  int Progress() const { return state_.progress; }
  const std::string& CommandCaption() const { return state_.caption; }
  bool TimerEnabled() const { return timerEnabled_; }

 private:
  enum class Key { None, Cancel, Enter, About, Yes, No };

  // Blocks the stop signals into a descriptor and ignores those a terminal or a pipe would raise.
  void CatchSignals();
  // Gives the signals back as they were before CatchSignals.
  void ReleaseSignals();
  // Whether keys can come: a terminal keyboard, not at its end, the program in front.
  bool KeyboardUsable();
  // Whether the program is in its keyboard's terminal's foreground.
  bool InForeground() const;
  // Takes the keyboard when the program is in the foreground, lets it go when it is not.
  void FollowForeground();
  // Waits up to maxMs for a key or a signal and handles what came; -1 waits without limit.
  // In a modal box the keys are only returned, not acted on.
  Key Pump(int maxMs, bool modal);
  // Pump's look at the keyboard and the signals, waiting up to maxMs for them.
  Key Look(int maxMs, bool modal, TextWindowIo::Clock::time_point now);
  // How long Look may wait: maxMs, cut short by the timer, the final wait and the output due.
  int LookTimeout(int maxMs, bool modal, bool keyboard, TextWindowIo::Clock::time_point now) const;
  // The key among those typed that counts; cursor and function key sequences are skipped.
  Key ReadKeys();
  // Counts the stop signals that came and presses the button for each.
  void ReadSignals();
  // Calls what the button is bound to.
  void PressButton();
  // Calls the timer when its tick is due.
  void RunTimer();
  // Gives the keyboard its saved settings back.
  void RestoreTerminal();

  TextWindowIo io_;
  TextWindowState state_;
  std::unique_ptr<TextRenderer> renderer_;  // reads io_ and state_
  std::function<void()> onCancel_, onTimer_;
  bool aboutEnabled_ = true;
  std::string aboutCaption_ = "About", aboutName_, aboutVersion_;

  bool timerEnabled_ = false;
  TextWindowIo::Clock::time_point nextTick_{};

  bool unloaded_ = false;
  // Before it, a pass that only looks leaves the keyboard and the signals.
  TextWindowIo::Clock::time_point nextLook_{};

  bool inEof_ = false;
  bool closing_ = false;  // a second stop request came
  bool keyboardRaw_ = false;
  bool termSaved_ = false;
  termios savedTerm_{};

  int signalFd_ = -1;
  int signalsSeen_ = 0;
  sigset_t savedMask_{};
  struct sigaction savedTtou_ {
  }, savedTtin_{}, savedPipe_{};
};

}  // namespace telvaro3::ui
