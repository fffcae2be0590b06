#include "link/progress_display.h"

#include "base/text.h"
#include "base/waits.h"

namespace telvaro3 {

void ShowRecordsStart(Program& p, const std::string& status, bool zeroBar) {
  const TransferFile& f = p.file;
  Window& w = p.window;
  w.SetText(Field::StatusBox, status);
  w.SetText(Field::FileBox, f.Name);
  w.SetText(Field::RecordsBox, " " + FiveDigits(f.RecordCount));
  w.SetText(Field::RecCntBox, " 00000");
  if (zeroBar) {
    w.SetProgress(0);
    w.SetText(Field::complete, " 0%");
  }
  if (p.state.TransferPhase == kPhaseClosing) {
    w.SetProgress(100);
    w.SetText(Field::complete, "100%");
  }
  Yield(p);
}

void ShowRecordProgress(Program& p, int32_t done) {
  p.window.SetText(Field::RecCntBox, " " + p.state.RecordSerial);
  const int64_t percent =
      RoundHalfEven(static_cast<double>(done) / static_cast<double>(p.file.RecordCount) * 100.0);
  p.window.SetProgress(static_cast<int>(percent));
  p.window.SetText(Field::complete, PercentText(percent));
}

}  // namespace telvaro3
