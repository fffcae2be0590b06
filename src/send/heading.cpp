// The heading block that opens every block-protocol transfer: file name, record count and, for
// a data file, the field layout.

#include "base/text.h"
#include "link/link.h"
#include "send/send.h"

namespace telvaro3 {
namespace {

// A number text behind "00", cut to its rightmost two characters.
std::string TwoDigits(const std::string& number) {
  const std::string s = "00" + number;
  return s.substr(s.size() - 2);
}

}  // namespace

void SetHeader(Program& p) {
  RunState& s = p.state;
  const TransferFile& f = p.file;
  s.ProcName = "SetHeader";
  std::string text = (f.Name + std::string(12, ' ')).substr(0, 12);
  text += FiveDigits(f.RecordCount);
  if (!f.ProgramFile) {
    text += TwoDigits(std::to_string(f.FieldCount));
    for (int i = 1; i <= f.FieldCount && i < static_cast<int>(f.FieldLengths.size()); ++i)
      text += TwoDigits(f.FieldLengths[i]);
  }
  text += s.ETX;
  s.HeadingBlock = s.SOH + text;
  if (p.settings.BlockCheck) s.HeadingBlock += AddBcc(p, text);
}

}  // namespace telvaro3
