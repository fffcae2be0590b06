#include "ui/line_log_renderer.h"

#include <charconv>

#include "base/text.h"

namespace telvaro3::ui {

namespace {

// Counter lines for a log or a pipe go out at most four times a second: whoever reads them is
// woken by every write, and on a fast line that would be a few times for every record.
constexpr int kLogFlushMs = 250;

}  // namespace

void LineLogRenderer::FieldChanged(Field f) {
  EmitNamed(FieldName(f), state_.Text(f), f == Field::RecCntBox || f == Field::complete);
}

void LineLogRenderer::MsgVisibilityChanged() {
  const std::string& msg = state_.Text(Field::MsgLabel);
  if (state_.msgVisible && !msg.empty()) EmitNamed("MsgLabel", msg, false);
}

void LineLogRenderer::ProgressChanged() {
  char digits[16];
  const char* end = std::to_chars(digits, digits + sizeof digits, state_.progress).ptr;
  EmitNamed("ProgressBar1", std::string_view(digits, static_cast<size_t>(end - digits)), true);
}

void LineLogRenderer::CaptionChanged() {
  EmitNamed("CommandButton", state_.caption, false);
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

void LineLogRenderer::Emit(const std::string& line, bool counter) {
  line_.clear();
  AppendLatin1AsUtf8(line_, line);
  WriteLine(counter);
}

void LineLogRenderer::EmitNamed(std::string_view name, std::string_view text, bool counter) {
  if (!io_.fieldLines) return;
  // A counter line comes with every record: it is put together in a buffer kept for the purpose,
  // without a string of its own.
  line_.assign(name).append(": ");
  AppendLatin1AsUtf8(line_, text);
  WriteLine(counter);
}

void LineLogRenderer::WriteLine(bool counter) {
  line_.push_back('\n');
  std::fwrite(line_.data(), 1, line_.size(), io_.out);
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
