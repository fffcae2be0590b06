// The heading block that opens every block-protocol transfer: file name, record count and, for
// a data file, the field layout.

#include "link/block_codec.h"
#include "link/link.h"
#include "send/send.h"

namespace telvaro3 {

void SetHeader(Program& p) {
  RunState& s = p.state;
  const TransferFile& f = p.file;
  s.ProcName = "SetHeader";
  frame::Heading heading{f.Name, f.RecordCount, f.ProgramFile, {}};
  for (int i = 1; i <= f.FieldCount && i < static_cast<int>(f.FieldLengths.size()); ++i)
    heading.fieldLengths.push_back(f.FieldLengths[i]);
  const std::string text = frame::HeadingText(heading) + s.ETX;
  s.HeadingBlock = s.SOH + text;
  if (p.settings.BlockCheck) s.HeadingBlock += AddBcc(p, text);
}

}  // namespace telvaro3
