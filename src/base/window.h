#pragma once

#include <functional>
#include <string>

namespace telvaro3 {

// The text fields and labels of the status window, by their control names.
enum class Field { StatusBox, FileBox, RecCntBox, RecordsBox, complete, MsgLabel, Label1 };

const char* FieldName(Field f);

enum class MsgIcon { None, Exclamation };

// How often a transfer looks at the window's events at most: as often as a wait on a silent port
// wakes up to look, which is still at once for a click, a key or a stop signal.
inline constexpr int kEventLookMs = 40;

// The status window with its Cancel and About buttons, message boxes and the 3000 ms timer.
// Handlers bound with Bind run only inside DoEvents/WaitEvents and the modal boxes.
class Window {
 public:
  virtual ~Window() = default;

  // onCancel: a click on the CommandButton; onTimerTick: a tick of YModemTimer.
  virtual void Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) = 0;
  // Program name and version shown in the About box.
  virtual void SetAboutInfo(const std::string& programName, const std::string& version) = 0;
  virtual void SetFontSize(int points) = 0;
  virtual void SetAboutCaption(const std::string& caption) = 0;

  virtual void Show() = 0;
  virtual void FocusCommandButton() = 0;
  virtual void SetText(Field f, const std::string& text) = 0;
  virtual std::string Text(Field f) const = 0;
  virtual void SetMsgVisible(bool visible) = 0;
  virtual void SetProgress(int value) = 0;
  virtual int ProgressMin() const = 0;
  virtual void SetCommandCaption(const std::string& caption) = 0;
  virtual void SetAboutEnabled(bool enabled) = 0;
  virtual void SetTimerEnabled(bool enabled) = 0;

  // Processes the pending window events once; never blocks. A call within kEventLookMs of the
  // last look at the events may leave them for the next one: a transfer calls this several times
  // per block, every look costs system calls, and a click or key handled that much later is still
  // at once for the person making it.
  virtual void DoEvents() = 0;
  // Blocks until a window event arrives or maxMs pass, then processes what is pending.
  virtual void WaitEvents(int maxMs) = 0;

  // Modal message box with an OK button.
  virtual void MessageBox(const std::string& title, const std::string& text, MsgIcon icon) = 0;
  // Modal question with Yes and No; true for Yes.
  virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;

  virtual void Unload() = 0;

  // Whether the program was asked from outside to stop (a stop signal). A click on Cancel is
  // forgotten when the next wait starts; such a request stays, so that no further round or
  // transfer begins after it.
  virtual bool StopRequested() const { return false; }
};

}  // namespace telvaro3
