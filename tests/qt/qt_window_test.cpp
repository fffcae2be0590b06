// The Qt status window and About box, on the offscreen platform.

#include "ui/qt_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>

namespace telvaro3::ui {
namespace {

class QtWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "qt_window_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) app_ = new QApplication(argc, argv);
  }

  void SetUp() override {
    window = std::make_unique<QtWindow>();
    window->Bind([this] { ++cancels; }, [this] { ++ticks; });
    window->SetAboutInfo("TELVARO3", "PC6-32 2.75");
  }

  template <typename T>
  T* Child(const char* name) {
    return window->Form()->findChild<T*>(name);
  }

  // Runs check on the modal box once it is up, then closes it with its default button.
  static void WhenModal(std::function<void(QWidget*)> check) {
    QTimer::singleShot(0, [check] {
      QWidget* box = QApplication::activeModalWidget();
      ASSERT_NE(box, nullptr);
      check(box);
      if (auto* mb = qobject_cast<QMessageBox*>(box)) {
        mb->defaultButton() ? mb->defaultButton()->click() : mb->accept();
      } else if (auto* ok = box->findChild<QPushButton*>("OKButton")) {
        ok->click();
      }
    });
  }

  static inline QApplication* app_ = nullptr;
  std::unique_ptr<QtWindow> window;
  int cancels = 0, ticks = 0;
};

TEST_F(QtWindowTest, FieldsShowTheirTexts) {
  window->SetFontSize(8);
  window->Show();
  EXPECT_EQ(window->Form()->windowTitle(), "Telvaro3 V2.76 - Quenfor Ltd");

  struct Case {
    Field field;
    const char* text;   // Latin-1
    const char* shown;  // UTF-8
  } cases[] = {
      {Field::StatusBox, "Sending File ", "Sending File "},
      {Field::FileBox,
       "\xA3"
       "5.TXT",
       "\xC2\xA3"
       "5.TXT"},
      {Field::RecCntBox, " 00012", " 00012"},
      {Field::RecordsBox, " 00250", " 00250"},
      {Field::complete, " 5%", " 5%"},
      {Field::MsgLabel, "Err(0) Transfer Complete", "Err(0) Transfer Complete"},
  };
  for (const Case& c : cases) {
    window->SetText(c.field, c.text);
    EXPECT_EQ(window->Text(c.field), c.text);
    QWidget* w = Child<QWidget>(FieldName(c.field));
    ASSERT_NE(w, nullptr) << FieldName(c.field);
    QString shown = qobject_cast<QLineEdit*>(w) ? qobject_cast<QLineEdit*>(w)->text()
                                                : qobject_cast<QLabel*>(w)->text();
    EXPECT_EQ(shown.toStdString(), c.shown) << FieldName(c.field);
    EXPECT_EQ(w->font().pointSize(), 8) << FieldName(c.field);
  }
  EXPECT_TRUE(Child<QLineEdit>("StatusBox")->isReadOnly());

  window->SetProgress(40);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 40);
  EXPECT_EQ(window->ProgressMin(), 0);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->maximum(), 100);

  EXPECT_EQ(Child<QPushButton>("CommandButton")->text(), "&Cancel");
  window->SetCommandCaption("Exit");
  EXPECT_EQ(Child<QPushButton>("CommandButton")->text(), "Exit");
  window->SetAboutCaption("About");
  EXPECT_EQ(Child<QPushButton>("AboutButton")->text(), "About");
  window->SetAboutEnabled(false);
  EXPECT_FALSE(Child<QPushButton>("AboutButton")->isEnabled());
  window->SetMsgVisible(false);
  EXPECT_FALSE(Child<QLabel>("MsgLabel")->isVisible());
}

TEST_F(QtWindowTest, CommandButtonAndCloseControlCancel) {
  window->Show();
  Child<QPushButton>("CommandButton")->click();
  EXPECT_EQ(cancels, 1);
  window->Form()->close();  // the title bar's close control
  EXPECT_EQ(cancels, 2);
  EXPECT_TRUE(window->Form()->isVisible());
  window->Unload();
  EXPECT_FALSE(window->Form()->isVisible());
  EXPECT_EQ(cancels, 2);
}

TEST_F(QtWindowTest, AboutBoxShowsProgramAndVersion) {
  window->SetFontSize(8);
  window->Show();
  QString title, group, name, version, ok;
  int points = 0;
  WhenModal([&](QWidget* box) {
    title = box->windowTitle();
    if (auto* g = box->findChild<QGroupBox*>()) group = g->title();
    for (QLabel* l : box->findChildren<QLabel*>()) {
      if (l->objectName() == "ProgramName") name = l->text();
      if (l->objectName() == "Version") version = l->text();
    }
    if (auto* b = box->findChild<QPushButton*>("OKButton")) {
      ok = b->text();
      points = b->font().pointSize();
    }
  });
  Child<QPushButton>("AboutButton")->click();  // returns once the box is closed
  EXPECT_EQ(title, "About Telvaro3");
  EXPECT_EQ(group, "  Program  Information");
  EXPECT_EQ(name, "TELVARO3");
  EXPECT_EQ(version, "PC6-32 2.75");
  EXPECT_EQ(ok, "&OK");
  EXPECT_EQ(points, 8);
  EXPECT_EQ(cancels, 0);
}

TEST_F(QtWindowTest, MessageBoxesAndQuestion) {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhenModal([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    text = mb->text();
    title = mb->windowTitle();
    icon = mb->icon();
  });
  window->MessageBox("TELVARO3 ERROR", " 5: Invalid procedure call Error in X",
                     MsgIcon::Exclamation);
  EXPECT_EQ(title, "TELVARO3 ERROR");
  EXPECT_EQ(text, " 5: Invalid procedure call Error in X");
  EXPECT_EQ(icon, QMessageBox::Warning);

  WhenModal([](QWidget*) {});  // closed with its default button: No
  EXPECT_FALSE(window->AskYesNo("Receive", "Overwrite?"));
  QTimer::singleShot(0, [] {
    auto* mb = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(mb, nullptr);
    mb->button(QMessageBox::Yes)->click();
  });
  EXPECT_TRUE(window->AskYesNo("Receive", "Overwrite?"));
}

TEST_F(QtWindowTest, EventWaitsReturn) {
  window->Show();
  window->DoEvents();
  window->WaitEvents(20);  // ends by its cap with nothing to do
  QTimer::singleShot(0, [this] { Child<QPushButton>("CommandButton")->click(); });
  for (int i = 0; i < 100 && cancels == 0; ++i) window->WaitEvents(1000);
  EXPECT_EQ(cancels, 1);
  window->SetTimerEnabled(true);
  window->SetTimerEnabled(false);
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace telvaro3::ui
