#include "ui/qt_window.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>

#include "ui/stop_signals.h"

namespace telvaro3::ui {

namespace {

constexpr const char* kCaption = "Telvaro3 V2.76 - Quenfor Ltd";
constexpr const char* kNotice = "Serial file transfer with the handheld terminal";
constexpr int kTimerMs = 3000;
constexpr auto kCounterInterval = std::chrono::milliseconds(50);  // 20 showings a second

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

void SetPoints(QWidget* w, int points) {
  QFont f = w->font();
  f.setPointSize(points);
  w->setFont(f);
}

}  // namespace

// The main window. Its own close control acts like the CommandButton until the program unloads
// the window.
class QtWindow::Form1 : public QWidget {
 public:
  std::function<void()> onClose;
  bool unloading = false;

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (unloading) {
      e->accept();
      return;
    }
    e->ignore();
    if (onClose) onClose();
  }
};

QtWindow::QtWindow() : form_(std::make_unique<Form1>()) {
  Form1* f = form_.get();
  f->setObjectName("Form1");
  f->setWindowTitle(kCaption);
  f->onClose = [this] { PressButton(); };

  QGridLayout* grid = MakeFieldGrid();
  bar_ = new QProgressBar(f);
  bar_->setObjectName("ProgressBar1");
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(false);
  QLabel* msg = MakeLabel(Field::MsgLabel);
  msg->setWordWrap(true);
  QHBoxLayout* buttons = MakeButtons();
  QLabel* notice = MakeLabel(Field::Label1);
  texts_[Index(Field::Label1)] = kNotice;
  notice->setText(kNotice);

  auto* column = new QVBoxLayout(f);
  column->addLayout(grid);
  column->addWidget(bar_);
  column->addWidget(msg);
  column->addLayout(buttons);
  column->addWidget(notice);

  timer_ = new QTimer(f);
  timer_->setInterval(kTimerMs);
  QObject::connect(timer_, &QTimer::timeout, [this] {
    if (onTimer_) onTimer_();
  });
  waitCap_ = new QTimer(f);
  waitCap_->setSingleShot(true);
  TakeStopSignals();
}

QLineEdit* QtWindow::MakeBox(Field field) {
  auto* e = new QLineEdit(form_.get());
  e->setObjectName(FieldName(field));
  e->setReadOnly(true);
  e->setFocusPolicy(Qt::NoFocus);
  boxes_[Index(field)] = e;
  return e;
}

QLabel* QtWindow::MakeLabel(Field field) {
  auto* l = new QLabel(form_.get());
  l->setObjectName(FieldName(field));
  labels_[Index(field)] = l;
  return l;
}

// Status, file, record "of" records, complete: a caption and its field on each row.
QGridLayout* QtWindow::MakeFieldGrid() {
  Form1* f = form_.get();
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("I/O Status", f), 0, 0);
  grid->addWidget(MakeBox(Field::StatusBox), 0, 1, 1, 3);
  grid->addWidget(new QLabel("File", f), 1, 0);
  grid->addWidget(MakeBox(Field::FileBox), 1, 1, 1, 3);
  grid->addWidget(new QLabel("Record", f), 2, 0);
  grid->addWidget(MakeBox(Field::RecCntBox), 2, 1);
  grid->addWidget(new QLabel("Of", f), 2, 2, Qt::AlignCenter);
  grid->addWidget(MakeBox(Field::RecordsBox), 2, 3);
  grid->addWidget(new QLabel("Complete", f), 3, 0);
  grid->addWidget(MakeLabel(Field::complete), 3, 1, 1, 3);
  return grid;
}

// The CommandButton (Cancel, later OK or Exit) and the About button.
QHBoxLayout* QtWindow::MakeButtons() {
  Form1* f = form_.get();
  command_ = new QPushButton("&Cancel", f);
  command_->setObjectName("CommandButton");
  command_->setDefault(true);
  QObject::connect(command_, &QPushButton::clicked, [this] { PressButton(); });
  about_ = new QPushButton("About", f);
  about_->setObjectName("AboutButton");
  QObject::connect(about_, &QPushButton::clicked, [this] { ShowAbout(); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(command_);
  buttons->addStretch(1);
  buttons->addWidget(about_);
  return buttons;
}

QtWindow::~QtWindow() {
  form_->unloading = true;
  timer_->stop();
  if (signalFd_ >= 0) {
    delete signals_;
    // Signals that came after the last look are dropped, not delivered to the program's end.
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    close(signalFd_);
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
  }
}

void QtWindow::TakeStopSignals() {
  // The signals are held back and read from a descriptor, so that they arrive as window events
  // on this thread. Held back here, they are so only on this thread and the threads it starts
  // later: the program holds them back before Qt's own threads exist (see main), or a signal
  // sent to the process could land on one of those and end it there.
  sigset_t set = StopSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, &savedMask_) != 0) return;
  signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd_ < 0) {
    // Nothing would read them: they keep their default action rather than go unnoticed.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  signals_ = new QSocketNotifier(signalFd_, QSocketNotifier::Read);
  QObject::connect(signals_, &QSocketNotifier::activated, [this] { StopSignal(); });
}

void QtWindow::StopSignal() {
  signalfd_siginfo info;
  while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (++signalsSeen_ >= 2) {
      stopped_ = true;
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
    }
    PressButton();
  }
}

QWidget* QtWindow::Form() const {
  return form_.get();
}

void QtWindow::Bind(std::function<void()> onCancel, std::function<void()> onTimerTick) {
  onCancel_ = std::move(onCancel);
  onTimer_ = std::move(onTimerTick);
}

void QtWindow::PressButton() {
  if (onCancel_) onCancel_();
}

void QtWindow::SetAboutInfo(const std::string& programName, const std::string& version) {
  aboutName_ = programName;
  aboutVersion_ = version;
}

void QtWindow::SetFontSize(int points) {
  fontPoints_ = points;
  for (QWidget* w : form_->findChildren<QWidget*>()) {
    if (qobject_cast<QLabel*>(w) || qobject_cast<QLineEdit*>(w) || qobject_cast<QPushButton*>(w)) {
      SetPoints(w, points);
    }
  }
}

void QtWindow::SetAboutCaption(const std::string& caption) {
  about_->setText(Latin1(caption));
}

void QtWindow::Show() {
  form_->show();
  form_->raise();
  form_->activateWindow();
}

void QtWindow::FocusCommandButton() {
  command_->setFocus();
}

void QtWindow::SetText(Field f, const std::string& text) {
  texts_[Index(f)] = text;
  if ((f == Field::RecCntBox || f == Field::complete) && Throttled(Index(f))) return;
  ShowSlot(Index(f));
}

bool QtWindow::Throttled(size_t slot) {
  if (waiting_[slot]) return true;
  if (Clock::now() - shownAt_[slot] >= kCounterInterval) return false;
  waiting_[slot] = true;
  return true;
}

void QtWindow::ShowSlot(size_t slot) {
  waiting_[slot] = false;
  shownAt_[slot] = Clock::now();
  if (slot == kBar) {
    bar_->setValue(std::clamp(progress_, 0, 100));
  } else if (QLineEdit* e = boxes_[slot]) {
    e->setText(Latin1(texts_[slot]));
  } else if (QLabel* l = labels_[slot]) {
    l->setText(Latin1(texts_[slot]));
  }
}

void QtWindow::ShowDue(bool all) {
  const auto now = Clock::now();
  for (size_t slot = 0; slot < waiting_.size(); ++slot) {
    if (waiting_[slot] && (all || now - shownAt_[slot] >= kCounterInterval)) ShowSlot(slot);
  }
}

int QtWindow::MsUntilDue() const {
  int ms = -1;
  const auto now = Clock::now();
  for (size_t slot = 0; slot < waiting_.size(); ++slot) {
    if (!waiting_[slot]) continue;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(shownAt_[slot] + kCounterInterval - now);
    const int m = static_cast<int>(std::max<int64_t>(left.count(), 0));
    ms = ms < 0 ? m : std::min(ms, m);
  }
  return ms;
}

void QtWindow::SetMsgVisible(bool visible) {
  labels_[Index(Field::MsgLabel)]->setVisible(visible);
}

void QtWindow::SetProgress(int value) {
  progress_ = value;
  if (!Throttled(kBar)) ShowSlot(kBar);
}

int QtWindow::ProgressMin() const {
  return bar_->minimum();
}

void QtWindow::SetCommandCaption(const std::string& caption) {
  command_->setText(Latin1(caption));
}

void QtWindow::SetAboutEnabled(bool enabled) {
  about_->setEnabled(enabled);
}

void QtWindow::SetTimerEnabled(bool enabled) {
  if (enabled && !timer_->isActive()) timer_->start();
  if (!enabled) timer_->stop();
}

void QtWindow::DoEvents() {
  ShowDue(false);
  const auto now = Clock::now();
  if (now < nextLook_) return;
  nextLook_ = now + std::chrono::milliseconds(kEventLookMs);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtWindow::WaitEvents(int maxMs) {
  // A counter still waiting to be shown ends the wait when its time comes.
  const int due = MsUntilDue();
  if (due >= 0 && due < maxMs) maxMs = std::max(due, 1);
  ShowDue(false);
  if (maxMs <= 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  // The cap timer is itself an event, so the wait below ends by maxMs at the latest.
  waitCap_->start(maxMs);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  waitCap_->stop();
  ShowDue(false);
}

void QtWindow::MessageBox(const std::string& title, const std::string& text, MsgIcon icon) {
  if (stopped_) return;
  ShowDue(true);
  QMessageBox box(icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                  Latin1(title), Latin1(text), QMessageBox::Ok,
                  form_->isVisible() ? form_.get() : nullptr);
  box.setObjectName("MessageBox");
  box.exec();
}

bool QtWindow::AskYesNo(const std::string& title, const std::string& text) {
  if (stopped_) return false;
  ShowDue(true);
  QMessageBox box(QMessageBox::Question, Latin1(title), Latin1(text),
                  QMessageBox::Yes | QMessageBox::No, form_->isVisible() ? form_.get() : nullptr);
  box.setObjectName("MessageBox");
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void QtWindow::ShowAbout() {
  ShowDue(true);
  QDialog dlg(form_.get());
  dlg.setObjectName("Form2");
  dlg.setWindowTitle("About Telvaro3");
  dlg.setModal(true);

  auto* group = new QGroupBox("  Program  Information", &dlg);
  auto* grid = new QGridLayout(group);
  auto* nameLabel = new QLabel("Program Name ", group);
  auto* name = new QLabel(Latin1(aboutName_), group);
  name->setObjectName("ProgramName");
  auto* versionLabel = new QLabel("Version ", group);
  auto* version = new QLabel(Latin1(aboutVersion_), group);
  version->setObjectName("Version");
  grid->addWidget(nameLabel, 0, 0);
  grid->addWidget(name, 0, 1);
  grid->addWidget(versionLabel, 1, 0);
  grid->addWidget(version, 1, 1);

  auto* ok = new QPushButton("&OK", &dlg);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &dlg, &QDialog::accept);

  auto* column = new QVBoxLayout(&dlg);
  column->addWidget(group);
  column->addWidget(ok, 0, Qt::AlignRight);
  for (QWidget* w : {static_cast<QWidget*>(group), static_cast<QWidget*>(nameLabel),
                     static_cast<QWidget*>(name), static_cast<QWidget*>(versionLabel),
                     static_cast<QWidget*>(version), static_cast<QWidget*>(ok)}) {
    SetPoints(w, fontPoints_);
  }
  dlg.exec();
}

void QtWindow::Unload() {
  ShowDue(true);
  timer_->stop();
  form_->unloading = true;
  form_->close();
}

}  // namespace telvaro3::ui
