// The field-file reader on any contents of the field file.

#include <cstddef>
#include <cstdint>

#include "fake_program.h"
#include "harness.h"
#include "settings/procedures.h"

using namespace telvaro3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  const std::string contents(reinterpret_cast<const char*>(data), size);
  const fuzz::Snapshot files = {{"DATA.TXT", "AB1\r\n"}, {"DATA.FLD", contents}};
  ws.Reset(files);

  fuzz::FakeProgram run(ws.recv.string());
  Program& p = run.p;
  SetDefaults(p);
  p.file.Name = "DATA.TXT";
  p.file.FieldFileName = "DATA.FLD";

  const int16_t code = fuzz::RunChecked(p, CheckFieldFile);
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
