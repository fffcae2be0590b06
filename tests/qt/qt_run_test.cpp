// A whole send through the Qt status window (offscreen), with a terminal that answers every
// block with ACK.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "shell/shell.h"
#include "support/fakes.h"
#include "ui/qt_window.h"

namespace telvaro3 {
namespace {

TEST(QtRun, FieldsAfterASuccessfulSend) {
  static int argc = 1;
  static char name[] = "qt_run_test";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  test::VirtualClock clock;
  test::FakeComm comm(clock);
  ui::QtWindow window;
  test::TestRig rig;
  test::FakeSystem system(clock, rig.dir);
  rig.WriteFile("DATA.TXT", "ONE\r\nTWO\r\n");
  system.commandLine = "+P0 +F10,5 +DDE DATA.TXT";
  comm.onOutput = [&](const std::string&) { comm.Reply("\x06"); };
  Program p(comm, window, system);
  Form_Load(p);

  auto text = [&](const char* field) {
    if (auto* e = window.Form()->findChild<QLineEdit*>(field)) return e->text().toStdString();
    if (auto* l = window.Form()->findChild<QLabel*>(field)) return l->text().toStdString();
    return std::string("(none)");
  };
  EXPECT_EQ(text("StatusBox"), "File Sent OK");
  EXPECT_EQ(text("FileBox"), "DATA.TXT");
  EXPECT_EQ(text("RecCntBox"), " 00002");
  EXPECT_EQ(text("RecordsBox"), " 00002");
  EXPECT_EQ(text("complete"), " 100%");
  EXPECT_EQ(text("MsgLabel"), "Err(0) Transfer Complete");
  EXPECT_EQ(window.Form()->findChild<QProgressBar*>("ProgressBar1")->value(), 100);
  EXPECT_EQ(window.Form()->findChild<QPushButton*>("CommandButton")->text().toStdString(), "Exit");
  EXPECT_FALSE(window.Form()->findChild<QPushButton*>("AboutButton")->isEnabled());
}

}  // namespace
}  // namespace telvaro3
