#include "ui/text_window.h"

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>

#include "base/text.h"
#include "ui/stop_signals.h"

namespace telvaro3::ui {

namespace {

constexpr const char* kCaption = "Telvaro3 V2.76 - Quenfor Ltd";
constexpr int kTimerMs = 3000;
constexpr int kRedrawMs = 50;  // at most 20 redraws a second
// Counter lines for a log or a pipe go out at most four times a second: whoever reads them is
// woken by every write, and on a fast line that would be a few times for every record.
constexpr int kLogFlushMs = 250;
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

int MsUntil(TextWindowIo::Clock::time_point t, TextWindowIo::Clock::time_point now) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

}  // namespace

TextWindowIo TextWindowIo::Standard() {
  TextWindowIo io;
  io.inFd = STDIN_FILENO;
  io.out = stdout;
  io.inIsTty = isatty(STDIN_FILENO) == 1;
  io.outIsTty = isatty(STDOUT_FILENO) == 1;
  return io;
}

TextWindow::TextWindow(TextWindowIo io) : io_(std::move(io)) {
  if (io_.catchSignals) {
    // The signals are held back and read from a descriptor, so that they become clicks handled
    // on the program's thread like any other window event.
    // A hang-up (the terminal or the remote session it ran in closed) stops the run like
    // Ctrl-C: the terminal gets its EOT and the receive directory is left as it was, where the
    // signal's default would kill the program in mid-block.
    sigset_t set = StopSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, &savedMask_) == 0) {
      signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
      if (signalFd_ < 0) pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    }
    // A background run must never be stopped by its terminal: a terminal access that would
    // raise these fails or goes through instead, and the window keeps off the terminal anyway.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &savedTtou_);
    sigaction(SIGTTIN, &ignore, &savedTtin_);
    // Nor killed by its log: when whatever reads the window's lines goes away, they are lost and
    // the transfer goes on to its end.
    sigaction(SIGPIPE, &ignore, &savedPipe_);
  }
  FollowForeground();
}

TextWindow::~TextWindow() {
  Unload();
  if (signalFd_ >= 0) {
    // Signals that came after the last look are dropped rather than delivered on unblocking.
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    close(signalFd_);
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
  }
  if (io_.catchSignals) {
    sigaction(SIGTTOU, &savedTtou_, nullptr);
    sigaction(SIGTTIN, &savedTtin_, nullptr);
    sigaction(SIGPIPE, &savedPipe_, nullptr);
  }
}

bool TextWindow::InForeground() const {
  if (io_.foreground) return io_.foreground();
  // Not the controlling terminal, or another process group's turn: not ours to take.
  return tcgetpgrp(io_.inFd) == getpgrp();
}

bool TextWindow::KeyboardUsable() {
  if (!io_.inIsTty || inEof_ || closing_) return false;
  FollowForeground();
  return InForeground();
}

void TextWindow::FollowForeground() {
  if (!io_.inIsTty || inEof_ || closing_ || unloaded_) return;
  if (!InForeground()) {
    // Sent to the background (Ctrl-Z, bg): the shell has the terminal now and set it up for
    // itself; a background process may not change it.
    keyboardRaw_ = false;
    return;
  }
  if (keyboardRaw_) return;
  if (!termSaved_) {
    // The settings are saved once, as the program first found them in the foreground: after a
    // stop and fg the shell may hand back the terminal in the program's own raw settings.
    if (tcgetattr(io_.inFd, &savedTerm_) != 0) return;
    termSaved_ = true;
  }
  // Keys one at a time and unseen; Ctrl-C still raises SIGINT.
  termios t = savedTerm_;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  keyboardRaw_ = tcsetattr(io_.inFd, TCSANOW, &t) == 0;
}

bool TextWindow::MayDraw() const {
  if (!io_.outIsTty) return true;
  const int fd = fileno(io_.out);
  const pid_t owner = tcgetpgrp(fd);
  if (owner < 0 || owner == getpgrp()) return true;
  // A background job on a terminal that stops background writers: hold the drawing back.
  termios t{};
  return tcgetattr(fd, &t) != 0 || (t.c_lflag & TOSTOP) == 0;
}

void TextWindow::Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) {
  onCancel_ = std::move(onCancel);
  onTimer_ = std::move(onTimerTick);
}

void TextWindow::SetAboutInfo(const std::string& programName, const std::string& version) {
  aboutName_ = programName;
  aboutVersion_ = version;
}

TextWindowIo::Clock::time_point TextWindow::Now() const {
  return io_.now ? io_.now() : TextWindowIo::Clock::now();
}

void TextWindow::Show() {
  shown_ = true;
  if (io_.outIsTty) Draw();
}

void TextWindow::SetText(Field f, const std::string& text) {
  std::string& cur = fields_[Index(f)];
  if (cur == text) return;
  cur = text;
  if (f == Field::MsgLabel && !msgVisible_) return;
  if (io_.outIsTty) {
    Changed();
  } else {
    EmitField(std::string(FieldName(f)) + ": " + text,
              f == Field::RecCntBox || f == Field::complete);
  }
}

void TextWindow::SetMsgVisible(bool visible) {
  if (visible == msgVisible_) return;
  msgVisible_ = visible;
  const std::string& msg = fields_[Index(Field::MsgLabel)];
  if (io_.outIsTty) {
    Changed();
  } else if (visible && !msg.empty()) {
    EmitField(std::string("MsgLabel: ") + msg);
  }
}

void TextWindow::SetProgress(int value) {
  value = std::clamp(value, 0, 100);
  if (value == progress_) return;
  progress_ = value;
  if (io_.outIsTty) {
    Changed();
  } else {
    EmitField("ProgressBar1: " + std::to_string(value), true);
  }
}

void TextWindow::SetCommandCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  if (io_.outIsTty) {
    Changed();
  } else {
    EmitField("CommandButton: " + caption);
  }
}

void TextWindow::SetTimerEnabled(bool enabled) {
  if (enabled && !timerEnabled_) nextTick_ = Now() + std::chrono::milliseconds(kTimerMs);
  timerEnabled_ = enabled;
}

void TextWindow::DoEvents() {
  Pump(0, false);
}

void TextWindow::WaitEvents(int maxMs) {
  Pump(std::max(maxMs, 0), false);
}

TextWindow::Key TextWindow::Pump(int maxMs, bool modal) {
  const auto now = Now();
  Key key = Key::None;
  // A pass that only looks, soon after the last look, leaves the keyboard and the signals.
  if (modal || maxMs != 0 || now >= nextLook_) {
    nextLook_ = now + std::chrono::milliseconds(kEventLookMs);
    key = Look(maxMs, modal, now);
  }
  if (!modal) {
    RunTimer();
    // Without a keyboard nobody can press the button at the end; the window does it.
    if (FinalWait() && !KeyboardUsable()) PressButton();
  }
  DrawIfDue();
  if (held_ && Now() >= heldSince_ + std::chrono::milliseconds(kLogFlushMs)) Flush();
  return key;
}

TextWindow::Key TextWindow::Look(int maxMs, bool modal, TextWindowIo::Clock::time_point now) {
  int timeout = maxMs;
  auto cap = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
  const bool keyboard = KeyboardUsable();
  if (!modal) {
    if (timerEnabled_) cap(MsUntil(nextTick_, now));
    if (FinalWait() && !keyboard) cap(0);
  } else if (keyboard) {
    cap(500);  // a move to the background ends a modal wait on the keyboard
  }
  if (dirty_ && shown_ && io_.outIsTty && MayDraw()) {
    cap(MsUntil(lastDraw_ + std::chrono::milliseconds(kRedrawMs), now));
  }
  if (held_) cap(MsUntil(heldSince_ + std::chrono::milliseconds(kLogFlushMs), now));

  pollfd pfd[2];
  nfds_t n = 0;
  int keyIndex = -1, signalIndex = -1;
  if (keyboard) {
    keyIndex = static_cast<int>(n);
    pfd[n++] = {io_.inFd, POLLIN, 0};
  }
  if (signalFd_ >= 0) {
    signalIndex = static_cast<int>(n);
    pfd[n++] = {signalFd_, POLLIN, 0};
  }
  int r = poll(pfd, n, timeout);

  Key key = Key::None;
  if (r > 0 && signalIndex >= 0 && pfd[signalIndex].revents != 0) {
    ReadSignals();
    if (modal && signalsSeen_ > 0) key = Key::Cancel;
  }
  if (r > 0 && keyIndex >= 0 && pfd[keyIndex].revents != 0) {
    Key k = ReadKeys();
    if (k != Key::None) key = k;
    if (!modal) {
      if (k == Key::Cancel || (k == Key::Enter && FinalWait())) PressButton();
      if (k == Key::About && aboutEnabled_) ShowAbout();
    }
  }
  return key;
}

TextWindow::Key TextWindow::ReadKeys() {
  unsigned char buf[64];
  ssize_t r = read(io_.inFd, buf, sizeof buf);
  if (r <= 0) {
    // EIO: the program went to the background just now; the keyboard comes back with fg.
    if (r == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) inEof_ = true;
    return Key::None;
  }
  Key key = Key::None;
  for (ssize_t i = 0; i < r; ++i) {
    unsigned char c = buf[i];
    if (c == 0x1B) {
      // A lone Esc is the key; Esc followed by '[' or 'O' starts the sequence of a cursor or
      // function key, which is skipped.
      if (i + 1 < r && (buf[i + 1] == '[' || buf[i + 1] == 'O')) {
        bool csi = buf[i + 1] == '[';
        i += 2;
        if (csi) {
          while (i < r && !(buf[i] >= 0x40 && buf[i] <= 0x7E)) ++i;
        }
        continue;
      }
      key = Key::Cancel;
    } else if (c == 'c' || c == 'C') {
      key = Key::Cancel;
    } else if (c == '\r' || c == '\n') {
      if (key == Key::None) key = Key::Enter;
    } else if (c == 'a' || c == 'A') {
      if (key == Key::None) key = Key::About;
    } else if (c == 'y' || c == 'Y') {
      if (key == Key::None) key = Key::Yes;
    } else if (c == 'n' || c == 'N') {
      if (key == Key::None) key = Key::No;
    }
  }
  return key;
}

void TextWindow::ReadSignals() {
  signalfd_siginfo info;
  while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (++signalsSeen_ >= 2 && !closing_) {
      // A second request to stop: the terminal is given back now, and nothing waits for a key
      // any more, so the run ends through its normal shutdown.
      closing_ = true;
      RestoreTerminal();
    }
    PressButton();
  }
}

void TextWindow::PressButton() {
  if (onCancel_) onCancel_();
}

void TextWindow::RunTimer() {
  if (!timerEnabled_) return;
  auto now = Now();
  if (now < nextTick_) return;
  // One tick per pass, as a window timer that was held up delivers only one.
  nextTick_ = now + std::chrono::milliseconds(kTimerMs);
  if (onTimer_) onTimer_();
}

void TextWindow::MessageBox(const std::string& title, const std::string& text, MsgIcon icon) {
  if (io_.outIsTty) {
    Draw();
    std::string mark = icon == MsgIcon::Exclamation ? "(!) " : "";
    std::string hint = KeyboardUsable() ? "   [ OK ]  Enter" : "";
    PrintBelow("\n" + mark + title + ": " + text + "\n" + hint + "\n");
  } else {
    Emit("MessageBox[" + title + "]: " + text);
  }
  while (KeyboardUsable()) {
    Key k = Pump(-1, true);
    if (k == Key::Enter || k == Key::Cancel) break;
  }
}

bool TextWindow::AskYesNo(const std::string& title, const std::string& text) {
  bool answer = false;
  if (KeyboardUsable()) {
    if (io_.outIsTty) {
      Draw();
      PrintBelow("\n" + title + ": " + text + "  (y/n) ");
    } else {
      Emit("Question[" + title + "]: " + text + " (y/n)");
    }
    for (;;) {
      Key k = Pump(-1, true);
      if (k == Key::Yes) {
        answer = true;
        break;
      }
      if (k == Key::No || k == Key::Cancel || !KeyboardUsable()) break;
    }
  }
  std::string line = "Question[" + title + "]: " + text + " -> " + (answer ? "Yes" : "No");
  if (io_.outIsTty) {
    PrintBelow(std::string(answer ? "Yes" : "No") + "\n");
  } else {
    Emit(line);
  }
  return answer;
}

void TextWindow::ShowAbout() {
  std::string text = aboutName_ + ", version " + aboutVersion_;
  if (io_.outIsTty) {
    Draw();
    PrintBelow("\nAbout Telvaro3: Program Name " + text + "\n");
  } else {
    Emit("About: Program Name " + aboutName_ + " Version " + aboutVersion_);
  }
}

void TextWindow::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  if (io_.outIsTty && shown_ && (dirty_ || drawnLines_ == 0)) Draw();
  if (held_) Flush();
  timerEnabled_ = false;
  RestoreTerminal();
}

void TextWindow::RestoreTerminal() {
  if (!keyboardRaw_) return;
  keyboardRaw_ = false;
  if (InForeground()) tcsetattr(io_.inFd, TCSANOW, &savedTerm_);
}

void TextWindow::EmitField(const std::string& line, bool counter) {
  if (io_.fieldLines) Emit(line, counter);
}

void TextWindow::Emit(const std::string& line, bool counter) {
  std::string out = Latin1ToUtf8(line);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), io_.out);
  if (!counter) {
    Flush();
  } else if (!held_) {
    held_ = true;
    heldSince_ = Now();
  }
}

void TextWindow::Flush() {
  std::fflush(io_.out);
  held_ = false;
}

void TextWindow::Changed() {
  dirty_ = true;
  DrawIfDue();
}

void TextWindow::DrawIfDue() {
  if (!dirty_ || !shown_ || unloaded_ || !io_.outIsTty) return;
  if (Now() < lastDraw_ + std::chrono::milliseconds(kRedrawMs)) return;
  if (!MayDraw()) return;
  Draw();
}

int TextWindow::Width() const {
  if (io_.width > 0) return io_.width;
  winsize ws{};
  if (ioctl(fileno(io_.out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void TextWindow::Draw() {
  if (!io_.outIsTty || !MayDraw()) return;
  const int width = std::max(Width() - 1, 20);
  auto field = [this](Field f) { return Printable(fields_[Index(f)]); };
  int filled = progress_ * kBarWidth / 100;
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  std::string hint = FinalWait() ? "Enter: close" : "Esc or C: cancel";
  std::string lines[kLines] = {
      kCaption,
      "I/O Status  " + field(Field::StatusBox),
      "File        " + field(Field::FileBox),
      "Record      " + field(Field::RecCntBox) + "   Of   " + field(Field::RecordsBox),
      "Complete    " + field(Field::complete),
      bar,
      msgVisible_ ? field(Field::MsgLabel) : std::string(),
      "[ " + Printable(Visible(caption_)) + " ]   " + hint,
      field(Field::Label1),
  };

  std::string out;
  if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "F";
  for (int i = 0; i < kLines; ++i) {
    std::string text = lines[i].substr(0, static_cast<size_t>(width));
    out += "\x1b[2K";
    if (i == 0) {
      out += "\x1b[1m" + Latin1ToUtf8(text) + "\x1b[0m";
    } else {
      out += Latin1ToUtf8(text);
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), io_.out);
  std::fflush(io_.out);
  drawnLines_ = kLines;
  dirty_ = false;
  lastDraw_ = Now();
}

void TextWindow::PrintBelow(const std::string& text) {
  if (!MayDraw()) return;
  std::string out = Latin1ToUtf8(Printable(text, true));
  std::fwrite(out.data(), 1, out.size(), io_.out);
  std::fflush(io_.out);
  drawnLines_ = 0;
}

}  // namespace telvaro3::ui
