// What the status window shows as a block-protocol transfer moves, the same in both directions.
#pragma once

#include <cstdint>
#include <string>

#include "base/program.h"

namespace telvaro3 {

// The window as the records start: `status`, the file's name, its record count and none done
// yet; with `zeroBar` the bar and the percentage start at 0 too. When the transfer is already
// closing (a file of no records) the bar and the percentage show all done.
void ShowRecordsStart(Program& p, const std::string& status, bool zeroBar);
// The counters after a record: RecordSerial as the count, and `done` records of RecordCount on
// the bar and as the percentage.
void ShowRecordProgress(Program& p, int32_t done);

}  // namespace telvaro3
