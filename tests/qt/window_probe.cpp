// Preloaded into the real program by the tests that run its Qt window on a display: every text
// the window puts into a label or a box is also written, one line each, to the file named by
// TELVARO3_PROBE_OUT, so that a test can read what the window shows (the result above all).
//
// The library stands on no Qt library of its own: linked to one, it would load Qt into every
// start of the program, before the program decides whether to load its window at all. It
// takes the place of the two setters, and finds the real ones in the Qt library that the window's
// module has loaded by then.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

namespace {

// A Qt 6 string as it lies in memory: its shared block, its UTF-16 characters, their number.
struct Utf16String {
  void* block;
  const char16_t* chars;
  std::ptrdiff_t size;
};

using Setter = void (*)(void* self, const Utf16String& text);

Setter Real(const char* name) {
  void* widgets = dlopen("libQt6Widgets.so.6", RTLD_LAZY | RTLD_NOLOAD);
  return widgets != nullptr ? reinterpret_cast<Setter>(dlsym(widgets, name)) : nullptr;
}

void Record(const Utf16String& text) {
  const char* path = std::getenv("TELVARO3_PROBE_OUT");
  if (path == nullptr) return;
  std::string line;
  for (std::ptrdiff_t i = 0; i < text.size; ++i)
    line += text.chars[i] < 0x100 ? static_cast<char>(text.chars[i]) : '?';
  line += '\n';
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t n = write(fd, line.data(), line.size());
  close(fd);
}

}  // namespace

// QLabel::setText(const QString&) and QLineEdit::setText(const QString&), by their linker names.
extern "C" void _ZN6QLabel7setTextERK7QString(void* self, const Utf16String& text) {
  static const Setter real = Real("_ZN6QLabel7setTextERK7QString");
  Record(text);
  if (real != nullptr) real(self, text);
}

extern "C" void _ZN9QLineEdit7setTextERK7QString(void* self, const Utf16String& text) {
  static const Setter real = Real("_ZN9QLineEdit7setTextERK7QString");
  Record(text);
  if (real != nullptr) real(self, text);
}
