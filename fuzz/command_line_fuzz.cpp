// The command line: any line, read with the defaults in place, against a directory holding a
// data file, its field file and a program file.

#include <cstddef>
#include <cstdint>

#include "fake_program.h"
#include "harness.h"
#include "settings/procedures.h"

using namespace telvaro3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  static const fuzz::Snapshot files = {{"DATA.TXT", "AB1\r\nCD2\r\n"},
                                       {"DATA.FLD", "FILE DATA.TXT\r\nFIELDS 2 1\r\n"},
                                       {"MENU.PD3", "10 PRINT\r\n"}};
  static const bool ready = (ws.Reset(files), true);
  (void)ready;

  fuzz::FakeProgram run(ws.recv.string());
  run.system.driveDir = ws.recv.string();  // A: and B: lead into the receive directory too
  run.system.commandLine.assign(reinterpret_cast<const char*>(data), size);
  SetDefaults(run.p);
  fuzz::RunChecked(run.p, CheckCommand);
  // Reading the command line changes nothing on the disk.
  fuzz::Check(fuzz::Take(ws.recv) == files, "the directory changed");
  ws.CheckOutside();
  return 0;
}
