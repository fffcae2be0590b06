#include "ui/text_window.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "ui/line_log_renderer.h"
#include "ui/screen_renderer.h"
#include "ui/stop_signals.h"

namespace telvaro3::ui {

namespace {

constexpr int kTimerMs = 3000;

std::unique_ptr<TextRenderer> MakeRenderer(const TextWindowIo& io, const TextWindowState& state) {
  if (io.outIsTty) return std::make_unique<ScreenRenderer>(io, state);
  return std::make_unique<LineLogRenderer>(io, state);
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

TextWindow::TextWindow(TextWindowIo io) : io_(std::move(io)), renderer_(MakeRenderer(io_, state_)) {
  if (io_.catchSignals) CatchSignals();
  FollowForeground();
}

TextWindow::~TextWindow() {
  Unload();
  ReleaseSignals();
}

void TextWindow::CatchSignals() {
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

void TextWindow::ReleaseSignals() {
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

void TextWindow::Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) {
  onCancel_ = std::move(onCancel);
  onTimer_ = std::move(onTimerTick);
}

void TextWindow::SetAboutInfo(const std::string& programName, const std::string& version) {
  aboutName_ = programName;
  aboutVersion_ = version;
}

void TextWindow::Show() {
  renderer_->Show();
}

void TextWindow::SetText(Field f, const std::string& text) {
  std::string& cur = state_.fields[static_cast<size_t>(f)];
  if (cur == text) return;
  cur = text;
  if (f == Field::MsgLabel && !state_.msgVisible) return;
  renderer_->FieldChanged(f);
}

void TextWindow::SetMsgVisible(bool visible) {
  if (visible == state_.msgVisible) return;
  state_.msgVisible = visible;
  renderer_->MsgVisibilityChanged();
}

void TextWindow::SetProgress(int value) {
  value = std::clamp(value, 0, 100);
  if (value == state_.progress) return;
  state_.progress = value;
  renderer_->ProgressChanged();
}

void TextWindow::SetCommandCaption(const std::string& caption) {
  if (caption == state_.caption) return;
  state_.caption = caption;
  renderer_->CaptionChanged();
}

void TextWindow::SetTimerEnabled(bool enabled) {
  if (enabled && !timerEnabled_) nextTick_ = io_.Now() + std::chrono::milliseconds(kTimerMs);
  timerEnabled_ = enabled;
}

void TextWindow::DoEvents() {
  Pump(0, false);
}

void TextWindow::WaitEvents(int maxMs) {
  Pump(std::max(maxMs, 0), false);
}

TextWindow::Key TextWindow::Pump(int maxMs, bool modal) {
  const auto now = io_.Now();
  Key key = Key::None;
  // A pass that only looks, soon after the last look, leaves the keyboard and the signals.
  if (modal || maxMs != 0 || now >= nextLook_) {
    nextLook_ = now + std::chrono::milliseconds(kEventLookMs);
    key = Look(maxMs, modal, now);
  }
  if (!modal) {
    RunTimer();
    // Without a keyboard nobody can press the button at the end; the window does it.
    if (state_.FinalWait() && !KeyboardUsable()) PressButton();
  }
  renderer_->WriteDue();
  return key;
}

TextWindow::Key TextWindow::Look(int maxMs, bool modal, TextWindowIo::Clock::time_point now) {
  const bool keyboard = KeyboardUsable();
  const int timeout = LookTimeout(maxMs, modal, keyboard, now);
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
      if (k == Key::Cancel || (k == Key::Enter && state_.FinalWait())) PressButton();
      if (k == Key::About && aboutEnabled_) renderer_->About(aboutName_, aboutVersion_);
    }
  }
  return key;
}

int TextWindow::LookTimeout(int maxMs, bool modal, bool keyboard,
                            TextWindowIo::Clock::time_point now) const {
  int timeout = maxMs;
  auto cap = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
  if (!modal) {
    if (timerEnabled_) cap(MsUntil(nextTick_, now));
    if (state_.FinalWait() && !keyboard) cap(0);
  } else if (keyboard) {
    cap(500);  // a move to the background ends a modal wait on the keyboard
  }
  const int due = renderer_->MsUntilDue(now);
  if (due >= 0) cap(due);
  return timeout;
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
  auto now = io_.Now();
  if (now < nextTick_) return;
  // One tick per pass, as a window timer that was held up delivers only one.
  nextTick_ = now + std::chrono::milliseconds(kTimerMs);
  if (onTimer_) onTimer_();
}

void TextWindow::MessageBox(const std::string& title, const std::string& text, MsgIcon icon) {
  renderer_->MessageBox(title, text, icon, KeyboardUsable());
  while (KeyboardUsable()) {
    Key k = Pump(-1, true);
    if (k == Key::Enter || k == Key::Cancel) break;
  }
}

bool TextWindow::AskYesNo(const std::string& title, const std::string& text) {
  bool answer = false;
  if (KeyboardUsable()) {
    renderer_->Question(title, text);
    for (;;) {
      Key k = Pump(-1, true);
      if (k == Key::Yes) {
        answer = true;
        break;
      }
      if (k == Key::No || k == Key::Cancel || !KeyboardUsable()) break;
    }
  }
  renderer_->Answer(title, text, answer);
  return answer;
}

void TextWindow::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  renderer_->Unload();
  timerEnabled_ = false;
  RestoreTerminal();
}

void TextWindow::RestoreTerminal() {
  if (!keyboardRaw_) return;
  keyboardRaw_ = false;
  if (InForeground()) tcsetattr(io_.inFd, TCSANOW, &savedTerm_);
}

}  // namespace telvaro3::ui
