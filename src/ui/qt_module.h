// The entry point of the Qt status window's module. The window and its libraries (Qt, X, GL,
// fonts: some forty of them) are loaded only when there is a display to show them on; a run
// from a script or cron without one starts without them.
#pragma once

#include "base/window.h"

namespace telvaro3::ui {

// File name of the module: next to the program in the build tree, in lib/telvaro3/modules beside
// the program's bin directory once installed.
inline constexpr const char* kQtModuleName = "telvaro3-qt.so";
inline constexpr const char* kQtModuleInstallDir = "lib/telvaro3/modules";

// The module's one exported function, by this name: makes the Qt application object and the
// status window on it, and returns the window, which owns the application and takes it down
// with itself. argc must outlive the window (Qt keeps a reference to it).
inline constexpr const char* kQtModuleEntry = "telvaro3_open_qt_window";
using OpenQtWindowFn = Window* (*)(int* argc, char** argv);

}  // namespace telvaro3::ui
