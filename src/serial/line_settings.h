// The line settings of a serial port: the text the program keeps them in, and the terminal
// device set up by them.
#pragma once

#include <cstdint>
#include <string>

namespace telvaro3::serial {

// Returns the line settings "baud,parity,data,stop" taken apart. ok is false when any part is
// outside what the component supports (baud 300 to 460800 at the usual steps, parity N/E/O, 7 or 8
// data bits, 1 or 2 stop bits).
struct LineParams {
  bool ok = false;
  int baud = 0;
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
};
LineParams ParseLineSettings(const std::string& settings);

// Returns the bits one character takes on the line: the start bit, the data bits, the parity bit
// when there is one, and the stop bits.
int BitsPerChar(const LineParams& lp);

// Sets the open terminal device fd to a raw line (8-bit clean, no flow control, reads that return
// at once) by `settings`, taken apart into lp, and drops its stale input. Returns 0, or the
// run-time error number of the failure: kRteInvalidCall for settings the device or the component
// does not support, kRtePathFileAccess for any other.
int16_t ConfigureLine(int fd, const std::string& settings, LineParams& lp);

}  // namespace telvaro3::serial
