// What the text view shows, and the face that writes it out: a screen drawn in place on a
// terminal, or a log of lines for anything else. The window keeps the state and the keyboard;
// a renderer only writes.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
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
  // The time by `now`, or by the steady clock when it is empty.
  Clock::time_point Now() const { return now ? now() : Clock::now(); }
};

// The visible state of the window: its fields, the progress bar and the button's caption.
struct TextWindowState {
  static constexpr size_t kFields = 7;

  std::array<std::string, kFields> fields;
  bool msgVisible = true;
  int progress = 0;
  std::string caption = "&Cancel";

  // The text of field f.
  const std::string& Text(Field f) const { return fields[static_cast<size_t>(f)]; }
  // Whether the run is over and the button closes the window rather than cancelling.
  bool FinalWait() const { return caption != "&Cancel"; }
};

// Milliseconds from now until t, 0 when t has passed.
inline int MsUntil(TextWindowIo::Clock::time_point t, TextWindowIo::Clock::time_point now) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

// What the window tells its face. Every call comes after the state has changed; the renderer
// reads the state it was given at construction and decides what, and when, to write.
class TextRenderer {
 public:
  virtual ~TextRenderer() = default;

  // The window appears.
  virtual void Show() = 0;
  // Field f changed (MsgLabel only while the message is visible).
  virtual void FieldChanged(Field f) = 0;
  // The message line was shown or hidden.
  virtual void MsgVisibilityChanged() = 0;
  // The progress bar moved.
  virtual void ProgressChanged() = 0;
  // The button's caption changed.
  virtual void CaptionChanged() = 0;
  // A message box; keyboard says whether a key can close it.
  virtual void MessageBox(const std::string& title, const std::string& text, MsgIcon icon,
                          bool keyboard) = 0;
  // A question that waits for y or n on the keyboard.
  virtual void Question(const std::string& title, const std::string& text) = 0;
  // The answer a question got (No without a keyboard).
  virtual void Answer(const std::string& title, const std::string& text, bool yes) = 0;
  // The About box, asked for from the keyboard.
  virtual void About(const std::string& name, const std::string& version) = 0;
  // Milliseconds until output held back is due, or -1 when nothing waits; caps a wait for keys.
  virtual int MsUntilDue(TextWindowIo::Clock::time_point now) const = 0;
  // Writes what has been held back long enough.
  virtual void WriteDue() = 0;
  // The window goes away: whatever is still held back is written.
  virtual void Unload() = 0;
};

}  // namespace telvaro3::ui
