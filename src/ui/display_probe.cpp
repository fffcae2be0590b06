// Display detection before the Qt window is tried: see display_probe.h.

#include "ui/display_probe.h"

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace telvaro3::ui {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// True when the non-blocking connect on fd finishes without an error within a few seconds.
bool ConnectFinishes(int fd) {
  pollfd pfd{fd, POLLOUT, 0};
  int err = 0;
  socklen_t len = sizeof err;
  return poll(&pfd, 1, 3000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
         err == 0;
}

// True when the child exits with status 0 within three seconds; a child still running then is
// killed, so that a server that takes the connection and never answers costs only the wait.
bool ChildSucceeds(pid_t child) {
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  return done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// True when the X display named by DISPLAY answers on its socket, local or TCP, and accepts
// this program as a client.
bool XDisplayAnswers(const std::string& display) {
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (number.size() > 4) return false;
  bool answers = false;
  if (!host.empty() && host != "unix") {
    answers = TcpAnswers(host, 6000 + std::stoi(number));
  } else {
    std::string socketPath = "/tmp/.X11-unix/X" + number;
    answers = SocketAnswers("@" + socketPath) || SocketAnswers(socketPath);
  }
  return answers && XServerAccepts(display);
}

}  // namespace

bool SocketAnswers(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      ok = ConnectFinishes(fd);
    }
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

// The question is put by a child process through the X client library, loaded only for it.
bool XServerAccepts(const std::string& display) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  auto connectTo = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  pid_t child = connectTo != nullptr && hasError != nullptr ? fork() : -1;
  if (child == 0) {
    void* c = connectTo(display.c_str(), nullptr);
    _exit(c != nullptr && hasError(c) == 0 ? 0 : 1);
  }
  bool ok = child > 0 && ChildSucceeds(child);
  dlclose(xcb);
  return ok;
}

bool DisplayAvailable() {
  if (!Env("QT_QPA_PLATFORM").empty()) return true;

  std::string wayland = Env("WAYLAND_DISPLAY");
  if (!wayland.empty()) {
    std::string path = wayland[0] == '/' ? wayland : Env("XDG_RUNTIME_DIR") + "/" + wayland;
    if (SocketAnswers(path)) return true;
  }

  std::string display = Env("DISPLAY");
  return !display.empty() && XDisplayAnswers(display);
}

}  // namespace telvaro3::ui
