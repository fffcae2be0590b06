// A whole send through the Qt status window (offscreen), with a terminal that answers every
// block with ACK: the window ends showing the result.

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
  static char name[] = "qt_run_test", *argv[] = {name, nullptr};
  QApplication app(argc, argv);
  ui::QtWindow window;
  test::TestRig rig;  // its port and system, with the Qt window in place of the recording one
  rig.WriteFile("DATA.TXT", "ONE\r\nTWO\r\n");
  rig.system.commandLine = "+P0 +F10,5 +DDE DATA.TXT";
  rig.comm.onOutput = [&](const std::string&) { rig.comm.Reply("\x06"); };
  Program p(rig.comm, window, rig.system);
  Form_Load(p);

  QWidget* form = window.Form();
  std::string shown;
  for (const char* f : {"StatusBox", "FileBox", "RecCntBox", "complete", "MsgLabel"}) {
    auto* e = form->findChild<QLineEdit*>(f);
    shown += (e ? e->text() : form->findChild<QLabel*>(f)->text()).toStdString() + "|";
  }
  EXPECT_EQ(shown, "File Sent OK|DATA.TXT| 00002| 100%|Err(0) Transfer Complete|");
  EXPECT_EQ(form->findChild<QProgressBar*>("ProgressBar1")->value(), 100);
  EXPECT_EQ(form->findChild<QPushButton*>("CommandButton")->text().toStdString(), "Exit");
  EXPECT_FALSE(form->findChild<QPushButton*>("AboutButton")->isEnabled());
}

}  // namespace
}  // namespace telvaro3
