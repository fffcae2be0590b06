// Loading the Qt status window from its module, so that Qt's libraries are loaded only when a
// display is there to show the window on.
#pragma once

#include <memory>

#include "base/window.h"

namespace telvaro3::ui {

// The Qt window from its module (looked for next to the program, then in lib/telvaro3/modules
// beside the program's bin directory), or nullptr when it cannot be loaded; why is then told on
// standard error. argc must outlive the window (Qt keeps a reference to it).
std::unique_ptr<Window> OpenQtWindow(int& argc, char** argv);

// As OpenQtWindow, with the stop signals held back in every thread of the process from then on
// (see qt_loader.cpp). Returns nullptr, with the signal mask as it was, when the module cannot
// be loaded.
std::unique_ptr<Window> OpenQtWindowSignalsHeld(int& argc, char** argv);

}  // namespace telvaro3::ui
