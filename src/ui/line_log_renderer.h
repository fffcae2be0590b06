// The text view for a log, a pipe or a journal: one line for every change, never a cursor move.
#pragma once

#include <string>
#include <string_view>

#include "ui/text_renderer.h"

namespace telvaro3::ui {

// Writes "<ControlName>: <text>" for every change of a visible field (the text fields,
// "ProgressBar1: <value>", "CommandButton: <caption>"), a message box as
// "MessageBox[<title>]: <text>", a question as "Question[<title>]: <text> -> No". The lines of
// the counters that change with every record (RecCntBox, complete, ProgressBar1) leave together
// at most four times a second; any other line takes those before it along at once. Without
// field lines (io.fieldLines false) only message boxes, questions and About are written.
class LineLogRenderer : public TextRenderer {
 public:
  LineLogRenderer(const TextWindowIo& io, const TextWindowState& state) : io_(io), state_(state) {}

  // Nothing: the lines tell the changes, not the window.
  void Show() override {}
  // "<ControlName>: <text>"; the record counters may wait for the next lines.
  void FieldChanged(Field f) override;
  // "MsgLabel: <text>" when a message that is not empty appears.
  void MsgVisibilityChanged() override;
  // "ProgressBar1: <value>", which may wait like the record counters.
  void ProgressChanged() override;
  // "CommandButton: <caption>".
  void CaptionChanged() override;
  // "MessageBox[<title>]: <text>".
  void MessageBox(const std::string& title, const std::string& text, MsgIcon icon,
                  bool keyboard) override;
  // "Question[<title>]: <text> (y/n)", written before the keyboard is asked.
  void Question(const std::string& title, const std::string& text) override;
  // "Question[<title>]: <text> -> Yes" or "-> No".
  void Answer(const std::string& title, const std::string& text, bool yes) override;
  // "About: Program Name <name> Version <version>".
  void About(const std::string& name, const std::string& version) override;
  // Until the counter lines held back must leave.
  int MsUntilDue(TextWindowIo::Clock::time_point now) const override;
  // Lets the counter lines held back long enough leave.
  void WriteDue() override;
  // Lets every line held back leave.
  void Unload() override;

 private:
  // Writes a line; a counter line may wait (a short while) for others to go out with it.
  void Emit(const std::string& line, bool counter = false);
  // A field's line "<name>: <text>", written as Emit does; only when the field lines are wanted.
  void EmitNamed(std::string_view name, std::string_view text, bool counter);
  // Writes line_ with its line end, then flushes it or holds it back as Emit says.
  void WriteLine(bool counter);
  void Flush();

  const TextWindowIo& io_;
  const TextWindowState& state_;
  std::string line_;   // the line being written, kept for its capacity
  bool held_ = false;  // lines written and not yet flushed
  TextWindowIo::Clock::time_point heldSince_{};
};

}  // namespace telvaro3::ui
