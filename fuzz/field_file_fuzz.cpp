// The field-file reader on any contents of the field file.

#include <cstddef>
#include <cstdint>

#include "base/system.h"
#include "harness.h"
#include "settings/procedures.h"
#include "support/fakes.h"

using namespace telvaro3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  const std::string contents(reinterpret_cast<const char*>(data), size);
  const fuzz::Snapshot files = {{"DATA.TXT", "AB1\r\n"}, {"DATA.FLD", contents}};
  ws.Reset(files);

  test::VirtualClock clock;
  test::FakeComm comm(clock);
  test::FakeWindow window(clock);
  test::FakeSystem system(clock, ws.recv.string());
  Program p(comm, window, system);
  SetDefaults(p);
  p.file.Name = "DATA.TXT";
  p.file.FieldFileName = "DATA.FLD";

  int16_t code;
  try {
    code = CheckFieldFile(p);
  } catch (const RunTimeError& e) {
    code = MapRunTimeError(e.Number());
  }
  fuzz::Check(fuzz::KnownCode(code), "unknown result code", code);
  for (const auto& f : p.files) fuzz::Check(!f, "a file slot was left open");
  if (code == 0) {
    const TransferFile& f = p.file;
    fuzz::Check(f.FieldCount >= 1 && f.FieldCount <= 16, "field count out of range", f.FieldCount);
    int total = 0;
    for (int i = 1; i <= f.FieldCount; ++i) total += std::stoi(f.FieldLengths[i]);
    fuzz::Check(total == f.RecordLength, "record length is not the sum of the fields", total);
    fuzz::Check(f.RecordLength + f.FieldCount <= 255, "record too long", f.RecordLength);
  }
  fuzz::Check(fuzz::Take(ws.recv) == files, "reading the field file changed the directory");
  ws.CheckOutside();
  return 0;
}
