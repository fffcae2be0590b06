// The signals that ask a run to stop, which both front ends of the status window take as the
// Cancel button while the window exists.

#pragma once

#include <csignal>

namespace telvaro3::ui {

// SIGINT (Ctrl-C), SIGTERM (kill) and SIGHUP (the terminal or SSH session closed), except one
// that the program was started with ignored: under nohup, or as a background job of a script,
// the caller asked for it to pass unnoticed, and so it does.
inline sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    sigaddset(&set, sig);
  }
  return set;
}

}  // namespace telvaro3::ui
