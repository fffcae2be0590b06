#include "ui/line_log_renderer.h"

#include "base/text.h"

namespace telvaro3::ui {

namespace {

// Counter lines for a log or a pipe go out at most four times a second: whoever reads them is
// woken by every write, and on a fast line that would be a few times for every record.
constexpr int kLogFlushMs = 250;

}  // namespace

void LineLogRenderer::FieldChanged(Field f) {
  EmitField(std::string(FieldName(f)) + ": " + state_.Text(f),
            f == Field::RecCntBox || f == Field::complete);
}

void LineLogRenderer::MsgVisibilityChanged() {
  const std::string& msg = state_.Text(Field::MsgLabel);
  if (state_.msgVisible && !msg.empty()) EmitField("MsgLabel: " + msg);
}

void LineLogRenderer::ProgressChanged() {
  EmitField("ProgressBar1: " + std::to_string(state_.progress), true);
}

void LineLogRenderer::CaptionChanged() {
  EmitField("CommandButton: " + state_.caption);
}

void LineLogRenderer::MessageBox(const std::string& title, const std::string& text, MsgIcon, bool) {
  Emit("MessageBox[" + title + "]: " + text);
}

void LineLogRenderer::Question(const std::string& title, const std::string& text) {
  Emit("Question[" + title + "]: " + text + " (y/n)");
}

void LineLogRenderer::Answer(const std::string& title, const std::string& text, bool yes) {
  Emit("Question[" + title + "]: " + text + " -> " + (yes ? "Yes" : "No"));
}

void LineLogRenderer::About(const std::string& name, const std::string& version) {
  Emit("About: Program Name " + name + " Version " + version);
}

int LineLogRenderer::MsUntilDue(TextWindowIo::Clock::time_point now) const {
  return held_ ? MsUntil(heldSince_ + std::chrono::milliseconds(kLogFlushMs), now) : -1;
}

void LineLogRenderer::WriteDue() {
  if (held_ && io_.Now() >= heldSince_ + std::chrono::milliseconds(kLogFlushMs)) Flush();
}

void LineLogRenderer::Unload() {
  if (held_) Flush();
}

void LineLogRenderer::EmitField(const std::string& line, bool counter) {
  if (io_.fieldLines) Emit(line, counter);
}

void LineLogRenderer::Emit(const std::string& line, bool counter) {
  // Written as it is converted, with the line end apart: a counter line comes with every record.
  const std::string out = Latin1ToUtf8(line);
  std::fwrite(out.data(), 1, out.size(), io_.out);
  std::fputc('\n', io_.out);
  if (!counter) {
    Flush();
  } else if (!held_) {
    held_ = true;
    heldSince_ = io_.Now();
  }
}

void LineLogRenderer::Flush() {
  std::fflush(io_.out);
  held_ = false;
}

}  // namespace telvaro3::ui
