// The program's report to systemd and its journal, and the summary line without them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/service.h"

namespace telvaro3::systemd {

// Whether a descriptor is the stream named by JOURNAL_STREAM ("<device>:<inode>", as systemd
// sets it for a service's standard output): only then does the journal take the transfers.
// Checked by device and inode, as systemd documents: a child whose output was redirected
// inherits the variable but not the stream.
bool IsJournalStream(int fd, const char* journalStream);

struct ServiceReportIo {
  // Where the summary line goes when the journal is not standard output; none when null.
  std::FILE* out = stdout;
  // Write the transfers to the journal instead of the summary line.
  bool journal = false;
  // The watchdog's interval in microseconds (WATCHDOG_USEC for this process), 0 for none.
  uint64_t watchdogUsec = 0;
};

// Tells systemd through its notification socket that the service is ready (once the port first
// opens), alive (WATCHDOG=1 at most every third of the watchdog interval) and what it last did
// (STATUS=); each message is a no-op when the program was not started by systemd. Writes one
// journal entry when a transfer starts and one when it ends, with the fields TELVARO3_RESULT,
// TELVARO3_FILE, TELVARO3_DIRECTION, TELVARO3_RECORDS, TELVARO3_BYTES, TELVARO3_SECONDS and
// TELVARO3_PORT; outside the journal, the end is one line "Summary: <summary>" on out when out
// is not a terminal.
class SystemdReport : public ServiceReport {
 public:
  explicit SystemdReport(ServiceReportIo io);
  // From the environment of the process: standard output and the variables systemd sets.
  static ServiceReportIo Standard();

  void PortOpened() override;
  void StillAlive() override;
  void TransferStarted(const TransferFacts& facts) override;
  void TransferEnded(const TransferFacts& facts) override;

 private:
  using Clock = std::chrono::steady_clock;

  ServiceReportIo io_;
  bool readyTold_ = false;
  Clock::duration pingEvery_{};
  Clock::time_point nextPing_{};
};

}  // namespace telvaro3::systemd
