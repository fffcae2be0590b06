// The Qt status window, on the offscreen platform.

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

  std::unique_ptr<QtWindow> window = std::make_unique<QtWindow>();
  int cancels = 0;
};

TEST_F(QtWindowTest, FieldsShowTheirTexts) {
  window->SetFontSize(8);
  window->Show();
  for (Field f : {Field::StatusBox, Field::FileBox, Field::RecCntBox, Field::MsgLabel}) {
    window->SetText(f, "\xE9t\xE9.TXT");  // Latin-1 in the program
    QWidget* w = Child<QWidget>(FieldName(f));
    ASSERT_NE(w, nullptr) << FieldName(f);
    auto* edit = qobject_cast<QLineEdit*>(w);
    QString shown = edit ? edit->text() : qobject_cast<QLabel*>(w)->text();
    EXPECT_EQ(shown.toStdString(), "\xC3\xA9t\xC3\xA9.TXT") << FieldName(f);
    EXPECT_EQ(w->font().pointSize(), 8) << FieldName(f);
  }
  window->SetProgress(40);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 40);
  window->SetCommandCaption("Exit");
  EXPECT_EQ(Child<QPushButton>("CommandButton")->text(), "Exit");
  // Counters that change faster than a person reads are shown less often, but never without
  // their last values once the window is done.
  for (const char* count : {" 00001", " 00002"}) window->SetText(Field::RecCntBox, count);
  for (int value : {41, 42}) window->SetProgress(value);
  EXPECT_EQ(window->Text(Field::RecCntBox), " 00002");
  window->Unload();
  EXPECT_EQ(Child<QLineEdit>("RecCntBox")->text(), " 00002");
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 42);
}

// The button during a wait for events, then the title bar's close control: both are Cancel, and
// the window stays until the program unloads it.
TEST_F(QtWindowTest, CommandButtonAndCloseControlCancel) {
  window->Show();
  window->WaitEvents(20);  // ends by its cap with nothing to do
  QTimer::singleShot(0, [this] { Child<QPushButton>("CommandButton")->click(); });
  for (int i = 0; i < 100 && cancels == 0; ++i) window->WaitEvents(1000);
  EXPECT_EQ(cancels, 1);
  window->Form()->close();
  EXPECT_EQ(cancels, 2);
  EXPECT_TRUE(window->Form()->isVisible());
  window->Unload();
  EXPECT_FALSE(window->Form()->isVisible());
  EXPECT_EQ(cancels, 2);
}

// A stop signal is a click on the CommandButton; a second one also lets no box wait any more.
TEST_F(QtWindowTest, StopSignalsCancelThenEndTheWaits) {
  window->Show();
  for (int sent = 1; sent <= 2; ++sent) {
    raise(sent == 1 ? SIGINT : SIGTERM);
    for (int i = 0; i < 100 && cancels < sent; ++i) window->WaitEvents(100);
    EXPECT_EQ(cancels, sent);
  }
  EXPECT_FALSE(window->AskYesNo("Question", "Answered at once?"));
}

}  // namespace
}  // namespace telvaro3::ui
