#include "ui/qt_module.h"

#include <QApplication>
#include <memory>

#include "ui/qt_window.h"

namespace telvaro3::ui {
namespace {

// Holds the application so that it is made before the window and goes after it.
struct ApplicationHolder {
  std::unique_ptr<QApplication> app;
};

class ModuleWindow : private ApplicationHolder, public QtWindow {
 public:
  ModuleWindow(int& argc, char** argv)
      : ApplicationHolder{std::make_unique<QApplication>(argc, argv)} {}
};

}  // namespace
}  // namespace telvaro3::ui

extern "C" telvaro3::Window* telvaro3_open_qt_window(int* argc, char** argv) {
  // Checked against the type the program loads it as.
  [[maybe_unused]] telvaro3::ui::OpenQtWindowFn self = &telvaro3_open_qt_window;
  return new telvaro3::ui::ModuleWindow(*argc, argv);
}
