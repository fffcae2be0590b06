// The Qt status window, on the offscreen platform.

#include "ui/qt_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <csignal>

namespace telvaro3::ui {
namespace {

class QtWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "qt_window_test", *argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    // Whoever ran the tests may have left the stop signals ignored, and the window would leave
    // them so.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
  }
  template <typename T>
  T* Child(const char* name) {
    return window.Form()->findChild<T*>(name);
  }
  QtWindow window;
  int cancels = 0;
};

// Counters are shown less often than they change, but their last values always in the end.
TEST_F(QtWindowTest, FieldsShowLatin1TextsAndTheLastCounts) {
  window.Show();
  window.SetText(Field::FileBox, "\xE9t\xE9.TXT");  // Latin-1 in the program
  EXPECT_EQ(Child<QLineEdit>("FileBox")->text().toStdString(), "\xC3\xA9t\xC3\xA9.TXT");
  for (const char* count : {" 00001", " 00002"}) window.SetText(Field::RecCntBox, count);
  for (int value : {41, 42}) window.SetProgress(value);
  window.Unload();
  EXPECT_EQ(Child<QLineEdit>("RecCntBox")->text(), " 00002");
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 42);
}

// The button, the close control (the window stays until unloaded) and the first stop signal are
// Cancel; a second stop signal also lets no box wait, so the run ends through its own shutdown.
TEST_F(QtWindowTest, EveryStopIsCancel) {
  window.Bind([this] { ++cancels; }, [] {});
  window.Show();
  window.WaitEvents(20);  // ends by its cap with nothing to do
  QTimer::singleShot(0, [this] { Child<QPushButton>("CommandButton")->click(); });
  for (int i = 0; i < 100 && cancels == 0; ++i) window.WaitEvents(1000);
  EXPECT_EQ(cancels, 1);
  window.Form()->close();
  EXPECT_EQ(cancels, 2);
  EXPECT_TRUE(window.Form()->isVisible());
  for (int sent = 3; sent <= 4; ++sent) {
    raise(sent == 3 ? SIGINT : SIGHUP);
    for (int i = 0; i < 100 && cancels < sent; ++i) window.WaitEvents(100);
    EXPECT_EQ(cancels, sent);
  }
  // A bound, should the box wait for an answer after all; it goes with the window.
  QTimer::singleShot(20000, window.Form(), [] {
    ADD_FAILURE() << "the box waited for an answer";
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  EXPECT_FALSE(window.AskYesNo("Question", "Answered at once?"));
  window.Unload();
  EXPECT_FALSE(window.Form()->isVisible());
}

}  // namespace
}  // namespace telvaro3::ui
