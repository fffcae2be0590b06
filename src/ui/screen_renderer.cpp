#include "ui/screen_renderer.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "base/text.h"

namespace telvaro3::ui {

namespace {

constexpr const char* kCaption = "Telvaro3 V2.76 - Quenfor Ltd";
constexpr int kRedrawMs = 50;  // at most 20 redraws a second
constexpr int kBarWidth = 40;
constexpr int kLines = 9;  // lines of the drawn window

// A button caption as shown: the accelerator mark removed ("&&" stays one ampersand).
std::string Visible(const std::string& caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return out;
}

// Control characters would move the cursor and break the drawn window.
std::string Printable(const std::string& latin1, bool keepLineEnds = false) {
  std::string out = latin1;
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (keepLineEnds && c == '\n') continue;
    if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)) c = ' ';
  }
  return out;
}

// The lines of the window, uncut, in Latin-1.
std::array<std::string, kLines> WindowLines(const TextWindowState& s) {
  auto field = [&s](Field f) { return Printable(s.Text(f)); };
  int filled = s.progress * kBarWidth / 100;
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  std::string hint = s.FinalWait() ? "Enter: close" : "Esc or C: cancel";
  return {
      kCaption,
      "I/O Status  " + field(Field::StatusBox),
      "File        " + field(Field::FileBox),
      "Record      " + field(Field::RecCntBox) + "   Of   " + field(Field::RecordsBox),
      "Complete    " + field(Field::complete),
      bar,
      s.msgVisible ? field(Field::MsgLabel) : std::string(),
      "[ " + Printable(Visible(s.caption)) + " ]   " + hint,
      field(Field::Label1),
  };
}

}  // namespace

void ScreenRenderer::Show() {
  shown_ = true;
  Draw();
}

void ScreenRenderer::MessageBox(const std::string& title, const std::string& text, MsgIcon icon,
                                bool keyboard) {
  Draw();
  std::string mark = icon == MsgIcon::Exclamation ? "(!) " : "";
  std::string hint = keyboard ? "   [ OK ]  Enter" : "";
  PrintBelow("\n" + mark + title + ": " + text + "\n" + hint + "\n");
}

void ScreenRenderer::Question(const std::string& title, const std::string& text) {
  Draw();
  PrintBelow("\n" + title + ": " + text + "  (y/n) ");
}

void ScreenRenderer::Answer(const std::string&, const std::string&, bool yes) {
  PrintBelow(std::string(yes ? "Yes" : "No") + "\n");
}

void ScreenRenderer::About(const std::string& name, const std::string& version) {
  Draw();
  PrintBelow("\nAbout Telvaro3: Program Name " + name + ", version " + version + "\n");
}

int ScreenRenderer::MsUntilDue(TextWindowIo::Clock::time_point now) const {
  if (!dirty_ || !shown_ || !MayDraw()) return -1;
  return MsUntil(lastDraw_ + std::chrono::milliseconds(kRedrawMs), now);
}

void ScreenRenderer::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  if (shown_ && (dirty_ || drawnLines_ == 0)) Draw();
}

bool ScreenRenderer::MayDraw() const {
  const int fd = fileno(io_.out);
  const pid_t owner = tcgetpgrp(fd);
  if (owner < 0 || owner == getpgrp()) return true;
  // A background job on a terminal that stops background writers: hold the drawing back.
  termios t{};
  return tcgetattr(fd, &t) != 0 || (t.c_lflag & TOSTOP) == 0;
}

void ScreenRenderer::Changed() {
  dirty_ = true;
  DrawIfDue();
}

void ScreenRenderer::DrawIfDue() {
  if (!dirty_ || !shown_ || unloaded_) return;
  if (io_.Now() < lastDraw_ + std::chrono::milliseconds(kRedrawMs)) return;
  if (!MayDraw()) return;
  Draw();
}

int ScreenRenderer::Width() const {
  if (io_.width > 0) return io_.width;
  winsize ws{};
  if (ioctl(fileno(io_.out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void ScreenRenderer::Draw() {
  if (!MayDraw()) return;
  const auto width = static_cast<size_t>(std::max(Width() - 1, 20));
  const auto lines = WindowLines(state_);
  std::string out;
  if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "F";
  for (int i = 0; i < kLines; ++i) {
    std::string text = Latin1ToUtf8(lines[static_cast<size_t>(i)].substr(0, width));
    out += "\x1b[2K";
    out += i == 0 ? "\x1b[1m" + text + "\x1b[0m" : text;
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), io_.out);
  std::fflush(io_.out);
  drawnLines_ = kLines;
  dirty_ = false;
  lastDraw_ = io_.Now();
}

void ScreenRenderer::PrintBelow(const std::string& text) {
  if (!MayDraw()) return;
  std::string out = Latin1ToUtf8(Printable(text, true));
  std::fwrite(out.data(), 1, out.size(), io_.out);
  std::fflush(io_.out);
  drawnLines_ = 0;
}

}  // namespace telvaro3::ui
