// The text view on a terminal: the window drawn in place on a few lines with ANSI escapes.
#pragma once

#include <string>

#include "ui/text_renderer.h"

namespace telvaro3::ui {

// Draws the window at most 20 times a second; the last state always reaches the screen. Message
// boxes and questions are printed below it, and the next draw starts under them. A background
// job on a terminal that stops background writers (TOSTOP) draws nothing until it is in front.
class ScreenRenderer : public TextRenderer {
 public:
  ScreenRenderer(const TextWindowIo& io, const TextWindowState& state) : io_(io), state_(state) {}

  // Draws the window for the first time.
  void Show() override;
  // The four changes below mark the window for a redraw, made now when the last is old enough.
  void FieldChanged(Field) override { Changed(); }
  void MsgVisibilityChanged() override { Changed(); }
  void ProgressChanged() override { Changed(); }
  void CaptionChanged() override { Changed(); }
  // Draws the window and prints the box under it, with an OK hint when a key can close it.
  void MessageBox(const std::string& title, const std::string& text, MsgIcon icon,
                  bool keyboard) override;
  // Draws the window and prints the question under it, the cursor left after "(y/n) ".
  void Question(const std::string& title, const std::string& text) override;
  // Prints Yes or No after the question.
  void Answer(const std::string& title, const std::string& text, bool yes) override;
  // Draws the window and prints the program's name and version under it.
  void About(const std::string& name, const std::string& version) override;
  // Until the next redraw may be made, when one is wanted and the terminal takes it.
  int MsUntilDue(TextWindowIo::Clock::time_point now) const override;
  // Redraws when the window changed and the last draw is old enough.
  void WriteDue() override { DrawIfDue(); }
  // The last state drawn (or the window drawn at all, when text was printed below it).
  void Unload() override;

 private:
  // Whether the program may write to its terminal now (in front, or background writes allowed).
  bool MayDraw() const;
  void Changed();
  void DrawIfDue();
  // Draws the whole window, over the last drawing when nothing was printed below it since.
  void Draw();
  // Prints text below the window and lets the next draw start under it.
  void PrintBelow(const std::string& text);
  // Columns of the terminal.
  int Width() const;

  const TextWindowIo& io_;
  const TextWindowState& state_;
  bool shown_ = false;
  bool unloaded_ = false;
  bool dirty_ = false;
  int drawnLines_ = 0;
  TextWindowIo::Clock::time_point lastDraw_{};
};

}  // namespace telvaro3::ui
