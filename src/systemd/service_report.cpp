#include "systemd/service_report.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <vector>

#include "base/text.h"
#include "systemd/manager_sockets.h"

namespace telvaro3::systemd {

bool IsJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  uintmax_t dev = 0, ino = 0;
  if (std::sscanf(journalStream, "%ju:%ju", &dev, &ino) != 2) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == dev && static_cast<uintmax_t>(st.st_ino) == ino;
}

ServiceReportIo SystemdReport::Standard() {
  ServiceReportIo io;
  io.out = isatty(STDOUT_FILENO) == 1 ? nullptr : stdout;
  io.journal = IsJournalStream(STDOUT_FILENO, std::getenv("JOURNAL_STREAM"));
  // The variables stay for children: the program starts none that would answer in its name.
  io.watchdogUsec = WatchdogUsecFromEnvironment();
  return io;
}

SystemdReport::SystemdReport(ServiceReportIo io) : io_(io) {
  // A third of the interval leaves two pings' room for a wait that ends late.
  pingEvery_ = std::chrono::microseconds(io_.watchdogUsec / 3);
}

void SystemdReport::PortOpened() {
  if (readyTold_) return;
  readyTold_ = true;
  NotifyServiceManager("READY=1\nSTATUS=Waiting for a terminal");
}

void SystemdReport::StillAlive() {
  if (io_.watchdogUsec == 0) return;
  const Clock::time_point now = Clock::now();
  if (now < nextPing_) return;
  nextPing_ = now + pingEvery_;
  NotifyServiceManager("WATCHDOG=1");
}

namespace {

std::string Field(const char* name, const std::string& value) {
  return std::string(name) + "=" + value;
}

void Send(int priority, const TransferFacts& f, const std::string& message, bool end) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", f.seconds);
  std::vector<std::string> fields = {
      Field("MESSAGE", Latin1ToUtf8(message)),
      Field("PRIORITY", std::to_string(priority)),
      Field("TELVARO3_FILE", Latin1ToUtf8(f.file)),
      Field("TELVARO3_DIRECTION", f.send ? "send" : "receive"),
      Field("TELVARO3_PORT", std::to_string(f.port)),
      Field("TELVARO3_RESULT", std::to_string(f.result <= 0 ? 0 : f.result)),
      Field("TELVARO3_RECORDS", std::to_string(f.records)),
      Field("TELVARO3_BYTES", std::to_string(f.bytes)),
      Field("TELVARO3_SECONDS", seconds),
  };
  // The start carries no result, counts or time yet.
  if (!end) fields.resize(5);
  SendToJournal(JournalEntry(fields));
}

}  // namespace

void SystemdReport::TransferStarted(const TransferFacts& f) {
  if (!io_.journal) return;
  // A heading that never came leaves the file unnamed.
  std::string what = f.send ? "sending" : "receiving";
  if (!f.file.empty()) what += " " + f.file;
  Send(LOG_INFO, f, what + " on port " + std::to_string(f.port), false);
}

void SystemdReport::TransferEnded(const TransferFacts& f) {
  const std::string status = "STATUS=Last: " + Latin1ToUtf8(f.summary);
  NotifyServiceManager(status);
  if (io_.journal) {
    Send(f.result <= 0 ? LOG_INFO : LOG_ERR, f, f.summary, true);
  } else if (io_.out != nullptr) {
    const std::string line = "Summary: " + Latin1ToUtf8(f.summary) + "\n";
    std::fwrite(line.data(), 1, line.size(), io_.out);
    std::fflush(io_.out);
  }
}

}  // namespace telvaro3::systemd
