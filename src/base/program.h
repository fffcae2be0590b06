#pragma once

#include <array>
#include <memory>
#include <string>

#include "base/codes.h"
#include "base/run_settings.h"
#include "base/run_state.h"
#include "base/serial_comm.h"
#include "base/service.h"
#include "base/system.h"
#include "base/window.h"

namespace telvaro3 {

// One program: its settings, the file it transfers, its run state, and the platform services it
// runs on. Every procedure receives it by reference; nothing else holds state.
struct Program {
  Program(SerialComm& c, Window& w, System& s) : comm(c), window(w), system(s) {}

  RunSettings settings;
  TransferFile file;
  RunState state;
  std::string ProgramVersion;

  SerialComm& comm;  // the serial port and its YModem facility
  Window& window;    // the status window
  System& system;    // files, clock, sleep, disk space
  // Told of readiness, liveness and each transfer when the program runs unattended; may be empty.
  ServiceReport* service = nullptr;

  // Numbered file slots: 1 the file sent or counted, 2 the file received, 3 the field file.
  std::array<std::unique_ptr<TextFile>, 4> files;

  // The file to send as it was read when its records were counted, held until the send takes it
  // as file number 1: the terminal gets the version that was counted, even when the file is
  // rewritten meanwhile. Empty when nothing is held (YModem, or the round that held it is over).
  std::unique_ptr<TextFile> sendSnapshot;
};

// Longest time an idle wait blocks before it looks at the window and the clock again.
inline constexpr int kIdleWaitMs = 10;

}  // namespace telvaro3
