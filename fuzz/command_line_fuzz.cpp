// The command line: any line, read with the defaults in place, against a directory holding a
// data file, its field file and a program file.

#include <cstddef>
#include <cstdint>

#include "base/system.h"
#include "harness.h"
#include "settings/procedures.h"
#include "support/fakes.h"

using namespace telvaro3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  static const fuzz::Snapshot files = {{"DATA.TXT", "AB1\r\nCD2\r\n"},
                                       {"DATA.FLD", "FILE DATA.TXT\r\nFIELDS 2 1\r\n"},
                                       {"MENU.PD3", "10 PRINT\r\n"}};
  static const bool ready = (ws.Reset(files), true);
  (void)ready;

  test::VirtualClock clock;
  test::FakeComm comm(clock);
  test::FakeWindow window(clock);
  test::FakeSystem system(clock, ws.recv.string());
  system.driveDir = ws.recv.string();  // A: and B: lead into the receive directory too
  Program p(comm, window, system);
  system.commandLine.assign(reinterpret_cast<const char*>(data), size);

  SetDefaults(p);
  int16_t code;
  try {
    code = CheckCommand(p);
  } catch (const RunTimeError& e) {
    code = MapRunTimeError(e.Number());
  }
  fuzz::Check(fuzz::KnownCode(code), "unknown result code", code);
  for (const auto& f : p.files) fuzz::Check(!f, "a file slot was left open");
  // Reading the command line changes nothing on the disk.
  fuzz::Check(fuzz::Take(ws.recv) == files, "the directory changed");
  ws.CheckOutside();
  return 0;
}
