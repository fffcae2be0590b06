// Counting the records of the file to send, and holding the version that was counted.

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "base/held_text_file.h"
#include "link/link.h"
#include "settings/procedures.h"

namespace telvaro3 {
namespace {

constexpr int64_t kMostBlockRecords = 32767;

// Of a line, a record uses at most its first 254 characters: a data record is at most that long
// (field lengths and field count together at most 255, at least one field), a program record
// sent by the block protocol 130, and compaction reads the first 42 characters of a line.
constexpr size_t kLineCharsUsed = 254;

}  // namespace

int16_t ReadFileToSend(Program& p) {
  TransferFile& f = p.file;
  p.sendSnapshot.reset();
  const int16_t code = OpenFile(p, f.Directory, f.Name, 1, "I");
  if (code != 0) return code;
  // YModem sends the file by itself: its lines are only counted, all of them.
  const bool hold = !p.settings.YModem;
  const size_t recordLength = f.RecordLength > 0 ? static_cast<size_t>(f.RecordLength) : 0;
  const size_t keep = hold ? std::max(kLineCharsUsed, recordLength) : 0;
  std::vector<std::string> lines;
  int64_t count = 0;
  std::string line;
  try {
    while ((!hold || count <= kMostBlockRecords) && p.files[1]->ReadLineUpTo(line, keep)) {
      ++count;
      if (hold) lines.push_back(std::move(line));
    }
  } catch (...) {
    CloseFile(p, 1);
    throw;
  }
  CloseFile(p, 1);
  if (hold && count > kMostBlockRecords) return kErrTooManyRecords;
  f.RecordCount = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
  if (hold) p.sendSnapshot = std::make_unique<HeldTextFile>(std::move(lines));
  return 0;
}

int16_t Test_File(Program& p) {
  p.state.ProcName = "Test_File";
  return ReadFileToSend(p);
}

}  // namespace telvaro3
