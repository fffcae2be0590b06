// Loading the Qt status window from its module: see qt_loader.h.

#include "ui/qt_loader.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ui/qt_module.h"
#include "ui/stop_signals.h"

namespace telvaro3::ui {
namespace {

// The directory of the running program, with its trailing '/', or "" when it cannot be told.
std::string ProgramDirectory() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.find_last_of('/') + 1);
  return dir;
}

}  // namespace

std::unique_ptr<Window> OpenQtWindow(int& argc, char** argv) {
  const std::string dir = ProgramDirectory();
  if (dir.empty()) return nullptr;
  const std::string candidates[] = {dir + kQtModuleName,
                                    dir + "../" + kQtModuleInstallDir + "/" + kQtModuleName};
  std::string errors;
  for (const std::string& path : candidates) {
    // Never closed: Qt's libraries stay until the process ends.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* why = dlerror();
      errors += std::string("\n  ") + (why != nullptr ? why : path.c_str());
      continue;
    }
    auto open = reinterpret_cast<OpenQtWindowFn>(dlsym(module, kQtModuleEntry));
    if (open != nullptr) return std::unique_ptr<Window>(open(&argc, argv));
    errors += "\n  " + path + ": no " + kQtModuleEntry;
  }
  std::fprintf(stderr,
               "telvaro3: the graphical window cannot be loaded, the text view stands in:%s\n",
               errors.c_str());
  return nullptr;
}

// Qt starts threads of its own (the X event queue, D-Bus), and a signal sent to the process goes
// to any thread that does not hold it back, where its default action would end the program in
// mid-transfer. Held back here, before the module and its libraries are loaded, the signals are
// held back by every thread started later too (threads inherit the mask), and stay pending until
// the window reads them from its descriptor as Cancel. They stay held back until the program
// ends, so that one coming during the shutdown is dropped with the process. Without the window
// the text view starts from the mask the program was started with.
std::unique_ptr<Window> OpenQtWindowSignalsHeld(int& argc, char** argv) {
  const sigset_t stop = StopSignals();
  sigset_t before;
  if (pthread_sigmask(SIG_BLOCK, &stop, &before) != 0) return OpenQtWindow(argc, argv);
  std::unique_ptr<Window> window = OpenQtWindow(argc, argv);
  if (!window) pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return window;
}

}  // namespace telvaro3::ui
