// The status window and About box as Qt Widgets. A QApplication must exist before the window is
// made; the window lives on that application's thread.
#pragma once

#include <signal.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/window.h"

class QGridLayout;
class QHBoxLayout;
class QLabel;
class QSocketNotifier;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

namespace telvaro3::ui {

class QtWindow : public Window {
 public:
  QtWindow();
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  void Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) override;
  void SetAboutInfo(const std::string& programName, const std::string& version) override;
  void SetFontSize(int points) override;
  void SetAboutCaption(const std::string& caption) override;

  void Show() override;
  void FocusCommandButton() override;
  void SetText(Field f, const std::string& text) override;
  std::string Text(Field f) const override { return texts_[Index(f)]; }
  void SetMsgVisible(bool visible) override;
  void SetProgress(int value) override;
  int ProgressMin() const override;
  void SetCommandCaption(const std::string& caption) override;
  void SetAboutEnabled(bool enabled) override;
  void SetTimerEnabled(bool enabled) override;

  void DoEvents() override;
  void WaitEvents(int maxMs) override;

  void MessageBox(const std::string& title, const std::string& text, MsgIcon icon) override;
  bool AskYesNo(const std::string& title, const std::string& text) override;

  void Unload() override;

  // The main window; its controls carry their control names as object names ("StatusBox",
  // "CommandButton", "AboutButton", "ProgressBar1", ...).
  QWidget* Form() const;
  // Opens the modal About box, as a click on the About button does; returns when it is closed.
  void ShowAbout();

  // SIGINT, SIGTERM and SIGHUP are taken while the window exists: the first is a click on the
  // CommandButton; a second one clicks it again and closes any open box for good, so that the
  // program ends through its normal shutdown without waiting for anybody.

 private:
  class Form1;
  static constexpr size_t kFields = 7;
  static size_t Index(Field f) { return static_cast<size_t>(f); }
  // The window's parts, made once by the constructor.
  QLineEdit* MakeBox(Field field);
  QLabel* MakeLabel(Field field);
  QGridLayout* MakeFieldGrid();
  QHBoxLayout* MakeButtons();
  void PressButton();
  void TakeStopSignals();
  void StopSignal();
  // The counters that change with every record (RecCntBox, complete, the progress bar) are
  // shown at most 20 times a second each; a change that comes sooner waits, and what waits is
  // shown by the next look at the events once its time has come, and before any box, the About
  // box or the unloading. The program's own view of the fields (Text) is always current.
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kBar = kFields;  // the progress bar's slot beside the fields
  bool Throttled(size_t slot);
  void ShowSlot(size_t slot);
  void ShowDue(bool all);
  int MsUntilDue() const;

  std::unique_ptr<Form1> form_;
  std::array<QLineEdit*, kFields> boxes_{};
  std::array<QLabel*, kFields> labels_{};
  std::array<std::string, kFields> texts_;
  int progress_ = 0;
  std::array<Clock::time_point, kFields + 1> shownAt_{};
  Clock::time_point nextLook_{};  // DoEvents before it leaves the event queue alone
  std::array<bool, kFields + 1> waiting_{};
  QProgressBar* bar_ = nullptr;
  QPushButton* command_ = nullptr;
  QPushButton* about_ = nullptr;
  QTimer* timer_ = nullptr;
  QTimer* waitCap_ = nullptr;

  int signalFd_ = -1;
  sigset_t savedMask_{};
  QSocketNotifier* signals_ = nullptr;
  int signalsSeen_ = 0;

 public:
  bool StopRequested() const override { return signalsSeen_ > 0; }

 private:
  bool stopped_ = false;  // a second stop signal came: boxes no longer wait

  std::function<void()> onCancel_, onTimer_;
  std::string aboutName_, aboutVersion_;
  int fontPoints_ = 8;
};

}  // namespace telvaro3::ui
