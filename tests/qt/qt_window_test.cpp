// The Qt status window on the offscreen platform: on its own, and showing a whole send.

#include "ui/qt_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <memory>

#include "shell/shell.h"
#include "support/fakes.h"

namespace telvaro3::ui {
namespace {

class QtWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "qt_window_test", *argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
  }
  void SetUp() override {
    window->Bind([this] { ++cancels; }, [] {});
  }

  template <typename T>
  T* Child(const char* name) {
    return window->Form()->findChild<T*>(name);
  }
  // The text of a field, an edit box or a label.
  std::string Shown(const char* name) {
    auto* edit = qobject_cast<QLineEdit*>(Child<QWidget>(name));
    return (edit ? edit->text() : Child<QLabel>(name)->text()).toStdString();
  }

  std::unique_ptr<QtWindow> window = std::make_unique<QtWindow>();
  int cancels = 0;
};

// A terminal that answers every block with ACK: the counters change faster than they are shown,
// yet the window ends showing their last values and the result.
TEST_F(QtWindowTest, FieldsAfterASuccessfulSend) {
  test::TestRig rig;  // its port and system, with the Qt window in place of the recording one
  rig.WriteFile("DATA.TXT", "ONE\r\nTWO\r\n");
  rig.system.commandLine = "+P0 +F10,5 +DDE DATA.TXT";
  rig.comm.onOutput = [&](const std::string&) { rig.comm.Reply("\x06"); };
  Program p(rig.comm, *window, rig.system);
  Form_Load(p);
  std::string shown;
  for (const char* f : {"StatusBox", "FileBox", "RecCntBox", "complete", "MsgLabel"})
    shown += Shown(f) + "|";
  EXPECT_EQ(shown, "File Sent OK|DATA.TXT| 00002| 100%|Err(0) Transfer Complete|");
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 100);
  EXPECT_EQ(Child<QPushButton>("CommandButton")->text().toStdString(), "Exit");
  EXPECT_FALSE(Child<QPushButton>("AboutButton")->isEnabled());
}

// The button during a wait for events, the title bar's close control (the window stays until the
// program unloads it) and the first stop signal are Cancel; a second stop signal also lets no box
// wait any more, so that the run ends through its own shutdown.
TEST_F(QtWindowTest, EveryStopIsCancel) {
  window->Show();
  window->SetText(Field::FileBox, "\xE9t\xE9.TXT");  // Latin-1 in the program
  EXPECT_EQ(Shown("FileBox"), "\xC3\xA9t\xC3\xA9.TXT");
  window->WaitEvents(20);  // ends by its cap with nothing to do
  QTimer::singleShot(0, [this] { Child<QPushButton>("CommandButton")->click(); });
  for (int i = 0; i < 100 && cancels == 0; ++i) window->WaitEvents(1000);
  EXPECT_EQ(cancels, 1);
  window->Form()->close();
  EXPECT_EQ(cancels, 2);
  EXPECT_TRUE(window->Form()->isVisible());
  for (int sent = 3; sent <= 4; ++sent) {
    raise(sent == 3 ? SIGINT : SIGTERM);
    for (int i = 0; i < 100 && cancels < sent; ++i) window->WaitEvents(100);
    EXPECT_EQ(cancels, sent);
  }
  EXPECT_FALSE(window->AskYesNo("Question", "Answered at once?"));
  window->Unload();
  EXPECT_FALSE(window->Form()->isVisible());
}

}  // namespace
}  // namespace telvaro3::ui
