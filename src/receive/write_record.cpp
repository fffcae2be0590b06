// Storing one received record as a line of the PC file.

#include "base/system.h"
#include "receive/receive.h"

namespace telvaro3 {

int16_t WriteRecord(Program& p) {
  RunState& s = p.state;
  int16_t code = kOk;
  try {
    if (!p.files[2]) throw RunTimeError(kRteBadFileNumber, RunTimeErrorText(kRteBadFileNumber));
    p.files[2]->WriteLine(s.RecordBuffer);
  } catch (const RunTimeError& e) {
    s.RunErrNumber = e.Number();
    s.RunErrLine = e.Line();
    code = MapRunTimeError(e.Number());
  }
  // A Cancel pressed meanwhile wins over a failed write.
  if (s.AbortFlag) return kRecordCancelled;
  return code;
}

}  // namespace telvaro3
