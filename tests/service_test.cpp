// The program run unattended, as the service unit runs it: the exit status for scripts, the
// summary line, the readiness and watchdog messages to systemd, the journal entries, and the
// unit's own command line against the terminal simulator.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/program_test.h"
#include "systemd/manager_sockets.h"
#include "systemd/service_report.h"

namespace telvaro3 {
namespace {

namespace fs = std::filesystem;
using test::LastLine, test::Process, test::ProcessOptions, test::Slurp;

using Service = test::ProgramTest;

// What a script sees: the result number with --exit-status (given first), 0 without it.
TEST_F(Service, ExitStatusIsTheResult) {
  fs::create_symlink(Path("no-such-device"), Path("cfg/telvaro3/com6"));
  // The program's line, the simulator's (none when empty), the exit status.
  const std::tuple<const char*, const char*, int> rows[] = {
      {"--exit-status +XYZ", "", 9},
      {"+XYZ", "", 0},
      {"--exit-status +DDE +P5", "", 101},
      {"--exit-status +DDE IN\\", "upload --records 5 --fields 10 --name ORDERS.BHT", 0},
      {"--exit-status +DDE IN\\", "upload --records 5 --fields 10 --name ABC.TXT", 79},
      // Not first, it is an option like any other the job does not know.
      {"+DDE --exit-status", "", 0},
  };
  for (const auto& [line, terminal, status] : rows)
    EXPECT_EQ(Run(terminal, line), status) << line << " / " << terminal;
}

// Every summary line of the output, the time taken left out.
std::vector<std::string> Summaries(const std::string& output) {
  std::vector<std::string> found;
  std::istringstream lines(output);
  for (std::string l; std::getline(lines, l);) {
    if (l.starts_with("Summary: "))
      found.push_back(std::regex_replace(l.substr(9), std::regex(R"(in [0-9.]+ s)"), "in T s"));
  }
  return found;
}

// One readable line at the end of each transfer, every round's in continuous mode, and a port
// that stays missing is told once, with the device and the reason once on standard error.
TEST_F(Service, SummaryLinePerRound) {
  ASSERT_EQ(Run("upload --records 50 --fields 10,5 --name ORDERS.BHT", "+DDE IN\\"), 0);
  EXPECT_EQ(Summaries(Output()),
            std::vector<std::string>{
                "received ORDERS.BHT: 50 records, 850 bytes in T s: Err(0) Transfer Complete"});
  // Started before the cradle is plugged in, the missing port is retried every second and
  // told once.
  fs::create_symlink(Path("no-such-device"), Path("cfg/telvaro3/com1"));
  auto prog = StartProgram("--exit-status +RXON +APP IN\\");
  usleep(3500000);
  // Two uploads in a row: both told, though their results are the same.
  for (const char* name : {"LIST.BHT --repeat 2", "NOTES.TXT"})
    ASSERT_TRUE(
        StartTerminal("upload --records 2 --fields 4 --name " + std::string(name))->Wait(60))
        << Slurp(Path("termsim.err"));
  // Stopped in the round after, not in the pause that follows a failed one.
  OutputReaches({"Err(79)"}, 10);
  usleep(1500000);
  prog->Signal(SIGTERM);
  ASSERT_TRUE(prog->Wait(20));
  EXPECT_EQ(prog->ExitCode(), 90) << "the exit status is the last round's result";
  // Between and after the terminals (a simulator that ends takes its line along) the port may
  // be missing, or gone, for a while: told once each time. The transfers are told in full.
  const std::vector<std::string> got = Summaries(Output());
  const std::string missing = "receive on port 1: Err(101) Communications Port 1 not available.";
  ASSERT_GE(got.size(), 4u) << Output();
  EXPECT_EQ(got.front(), missing);
  EXPECT_EQ(got.back(), "receive on port 1: Err(90) Aborted by Cancel.");
  std::vector<std::string> transfers = got;
  std::erase_if(transfers, [](const std::string& line) { return !line.starts_with("received "); });
  const std::vector<std::string> expected = {
      "received LIST.BHT: 2 records, 12 bytes in T s: Err(0) Transfer Complete",
      "received LIST.BHT: 2 records, 12 bytes in T s: Err(0) Transfer Complete",
      "received NOTES.TXT: 0 records, 0 bytes in T s: Err(79) Quenfor Header Err.",
  };
  EXPECT_EQ(transfers, expected) << Output();
  // Never the same idle result twice in a row, and every missing port said once on standard
  // error, the device and the reason.
  for (size_t i = 1; i < got.size(); ++i)
    EXPECT_TRUE(got[i] != got[i - 1] || got[i].starts_with("received ")) << Output();
  const auto told = std::count_if(got.begin(), got.end(), [](const std::string& line) {
    return line.starts_with("receive on port 1: Err(10");  // 101 or 102
  });
  EXPECT_LE(told, 3);
  const std::string err = Slurp(Path("program.err"));
  EXPECT_TRUE(err.starts_with("telvaro3: port 1, " + Path("cfg/telvaro3/com1") + " -> " +
                              Path("no-such-device") + ": No such file or directory\n"))
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), told) << err;
}

// A datagram socket standing in for systemd's notification socket. It is read all the time, as
// systemd does: a full queue would hold the sender up.
struct NotifySocket {
  explicit NotifySocket(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    reader = std::async(std::launch::async, [this] {
      std::vector<std::string> got;
      char buf[4096];
      for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.emplace_back(buf, n);
      return got;
    });
  }
  ~NotifySocket() {
    shutdown(fd, SHUT_RDWR);  // ends the reading
    if (reader.valid()) reader.wait();
    close(fd);
  }
  // Every message that has come, in order; nothing is read after.
  std::vector<std::string> Messages() {
    shutdown(fd, SHUT_RDWR);
    return reader.get();
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::future<std::vector<std::string>> reader;
};

// Runs the program in a private mount namespace with a journald of its own, its standard output
// a journal stream as systemd makes it for a service; writes the program's journal entries (the
// native ones, in journalctl's export format) to entries and what came through its standard
// output to lines. Exits 77 when journald cannot be started here.
constexpr const char* kPrivateJournal = R"(
set -u
entries=$1 lines=$2
shift 2
mkdir -p /run/systemd /run/log && mount -t tmpfs tmpfs /run/systemd 2>/dev/null || exit 77
mkdir -p /run/systemd/journal /run/log && mount -t tmpfs tmpfs /run/log || exit 77
/lib/systemd/systemd-journald >/dev/null 2>&1 &
journald=$!
for i in $(seq 100); do [ -S /run/systemd/journal/stdout ] && break; sleep 0.05; done
[ -S /run/systemd/journal/stdout ] || { kill $journald; exit 77; }
systemd-cat -t telvaro3 sh -c \
  'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1); export JOURNAL_STREAM; exec "$@"' sh "$@"
journalctl --sync 2>/dev/null || sleep 1
journalctl -D /run/log/journal -o export _TRANSPORT=journal _COMM=telvaro3 >"$entries"
journalctl -D /run/log/journal -o cat _TRANSPORT=stdout >"$lines"
kill $journald
wait $journald
exit 0
)";

using Entry = std::map<std::string, std::string>;

// The entries of journalctl's export format, with the fields of this program and the message.
std::vector<Entry> ReadEntries(const std::string& text) {
  std::vector<Entry> entries(1);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq);
    if (line.empty())  // the end of an entry
      entries.emplace_back();
    else if (key.starts_with("TELVARO3_") || key == "MESSAGE" || key == "PRIORITY")
      entries.back()[key] = line.substr(eq + 1);
  }
  std::erase_if(entries, [](const Entry& e) { return e.empty(); });
  return entries;
}

// Under the journal: one entry when the link is made, one at the end with the result as fields
// a query can use, and no line for each change of a field.
TEST_F(Service, JournalEntriesCarryTheResult) {
  if (geteuid() != 0) GTEST_SKIP() << "a journald of the test's own needs root (unshare -m)";
  if (access("/lib/systemd/systemd-journald", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "systemd-journald or unshare is not installed";
  Process probe({"/usr/bin/unshare", "-m", "/bin/true"}, {});
  if (!probe.Wait(20) || probe.ExitCode() != 0)
    GTEST_SKIP() << "no mount namespace can be made here (a container without CAP_SYS_ADMIN?)";
  // A file taken whole, and one refused by its name: the message and the fields of the end
  // besides the time.
  struct Row {
    std::string file, records, bytes, result, priority, resultLine;
  };
  const Row rows[] = {{"ORDERS.BHT", "50", "850", "0", "6", "Err(0) Transfer Complete"},
                      {"NOTES.TXT", "0", "0", "79", "3", "Err(79) Quenfor Header Err."}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const int status = Run("upload --records 50 --fields 10,5 --name " + row.file, "+DDE IN\\",
                           {"/usr/bin/unshare", "-m", "/bin/sh", "-c", kPrivateJournal, "sh",
                            Path("entries"), Path("lines")});
    if (status == 77)
      GTEST_SKIP() << "journald cannot be started here: " << Slurp(Path("program.err"));
    ASSERT_EQ(status, 0) << Slurp(Path("program.err"));
    EXPECT_EQ(Slurp(Path("lines")), "");
    const std::vector<Entry> entries = ReadEntries(Slurp(Path("entries")));
    ASSERT_EQ(entries.size(), 2u) << Slurp(Path("entries"));
    EXPECT_EQ(entries[0].at("MESSAGE"), "receiving " + row.file + " on port 1");
    EXPECT_EQ(entries[0].count("TELVARO3_RESULT"), 0u);
    Entry end = entries[1];
    EXPECT_EQ(std::regex_replace(end["MESSAGE"], std::regex(R"(in [0-9.]+ s)"), "in T s"),
              "received " + row.file + ": " + row.records + " records, " + row.bytes +
                  " bytes in T s: " + row.resultLine);
    EXPECT_TRUE(std::regex_match(end["TELVARO3_SECONDS"], std::regex(R"([0-9]+\.[0-9])")));
    for (const char* checked : {"MESSAGE", "TELVARO3_SECONDS"}) end.erase(checked);
    const Entry fields = {{"PRIORITY", row.priority},
                          {"TELVARO3_RESULT", row.result},
                          {"TELVARO3_FILE", row.file},
                          {"TELVARO3_DIRECTION", "receive"},
                          {"TELVARO3_RECORDS", row.records},
                          {"TELVARO3_BYTES", row.bytes},
                          {"TELVARO3_PORT", "1"}};
    EXPECT_EQ(end, fields);
  }
}

// The unit's command line by hand, with the example settings: uploads are appended in the spool,
// and a stop in the middle of one (the unit's SIGTERM) ends the program within the unit's
// 10 s with the spool as it was before that upload.
TEST_F(Service, TheUnitsCommandLineReceivesIntoTheSpool) {
  // The example settings append.
  ASSERT_NE(Slurp(TELVARO3_SOURCE_DIR "/packaging/systemd/telvaro3-receive.conf")
                .find("\nTELVARO3_OPTIONS=\"+APP\"\n"),
            std::string::npos);
  ProcessOptions o;
  o.cwd = dir_;
  o.env["TELVARO3_PROGRAM"] = TELVARO3_BINARY_DIR "/telvaro3";
  o.env["TELVARO3_OPTIONS"] = "+APP";
  o.env["TELVARO3_DIRECTORY"] = Path("spool/com1");
  o.env["XDG_CONFIG_HOME"] = Path("cfg");  // the unit's is /etc
  o.env["NOTIFY_SOCKET"] = Path("notify");
  o.env["WATCHDOG_USEC"] = "300000";  // the unit's 60 s, shortened
  o.stdoutPath = Path("program.out");
  o.stderrPath = Path("program.err");
  NotifySocket sock(Path("notify"));
  auto term = StartTerminal("upload --records 30 --fields 8,4 --name ORDERS.BHT --repeat 2");
  const auto started = std::chrono::steady_clock::now();
  Process service({TELVARO3_SOURCE_DIR "/packaging/systemd/telvaro3-receive", "com1"},
                  test::Unattended(o));
  ASSERT_TRUE(term->Wait(60)) << Slurp(Path("termsim.err"));
  const std::string two = test::SyntheticRecords(30, {8, 4}) + test::SyntheticRecords(30, {8, 4});
  for (int i = 0; i < 1000 && Slurp(Path("spool/com1/ORDERS.BHT")) != two; ++i) usleep(10000);
  ASSERT_EQ(Slurp(Path("spool/com1/ORDERS.BHT")), two);

  // A slow upload, stopped once records have come.
  term = StartTerminal("upload --records 3000 --fields 8,4 --name ORDERS.BHT --baud 19200");
  ASSERT_TRUE(OutputReaches({"RecordsBox:  03000", "RecCntBox:  00020"}, 30)) << Output();
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.Wait(10));
  EXPECT_EQ(service.ExitCode(), 0);
  EXPECT_EQ(LastLine(Output(), "MsgLabel: "), "Err(90) Aborted by Cancel.");
  EXPECT_EQ(Slurp(Path("spool/com1/ORDERS.BHT")), two);
  EXPECT_EQ(test::NamesIn(Path("spool/com1")),
            (std::vector<std::string>{"ORDERS.BHT", "ORDERS.FLD"}));
  // Ready once, when the port first opened; each transfer's summary as the unit's status; the
  // watchdog pinged from the waits, at least once and at most every 100 ms.
  const std::chrono::duration<double> ran = std::chrono::steady_clock::now() - started;
  const std::vector<std::string> told = sock.Messages();
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told[0], "READY=1\nSTATUS=Waiting for a terminal");
  const auto count = [&told](const std::string& start) {
    return std::ranges::count_if(told, [&](const std::string& m) { return m.starts_with(start); });
  };
  EXPECT_EQ(count("READY=1"), 1);
  EXPECT_EQ(count("STATUS=Last: received ORDERS.BHT: 30 records, 420 bytes"), 2);
  EXPECT_GE(count("WATCHDOG=1"), 1);
  EXPECT_LE(count("WATCHDOG=1"), 1 + ran.count() * 10);
}

// An entry of the journal's native protocol: a value with a line end goes as its length and
// bytes, so that a name from the line cannot split an entry or add fields of its own.
TEST(JournalEntry, FieldsAsTheJournalReadsThem) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"MESSAGE=sent A.TXT", "PRIORITY=6"}, "MESSAGE=sent A.TXT\nPRIORITY=6\n"},
      {{"TELVARO3_FILE=A\nB=1"}, std::string("TELVARO3_FILE\n\x05\0\0\0\0\0\0\0A\nB=1\n", 28)},
      {{"no field", "=x", "EMPTY="}, "EMPTY=\n"},
  };
  for (const auto& [fields, entry] : rows) EXPECT_EQ(systemd::JournalEntry(fields), entry);
}

// Each message reaches the socket and leaves no descriptor open: a service pings for months.
TEST(NotifyServiceManager, EveryMessageArrivesAndLeavesNoDescriptor) {
  test::TempDir tmp;
  NotifySocket socket(tmp.Path("notify"));
  const auto openFds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  setenv("NOTIFY_SOCKET", tmp.Path("notify").c_str(), 1);
  const auto before = openFds();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(systemd::NotifyServiceManager("WATCHDOG=1"));
  EXPECT_EQ(openFds(), before);
  // Without a socket, or with a name that is no socket's address, nothing counts as told.
  for (const std::string& bad :
       {std::string("@"), std::string("notify"), "/" + std::string(120, 'n')}) {
    setenv("NOTIFY_SOCKET", bad.c_str(), 1);
    EXPECT_FALSE(systemd::NotifyServiceManager("WATCHDOG=1")) << bad;
  }
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(systemd::NotifyServiceManager("WATCHDOG=1"));
  EXPECT_EQ(socket.Messages(), std::vector<std::string>(3, "WATCHDOG=1"));
}

// Standard output is the journal's stream only when it is the very file JOURNAL_STREAM names: a
// child whose output was redirected inherits the variable, and one whose output was closed too.
TEST(JournalStream, OnlyTheFileTheVariableNames) {
  test::TempDir tmp;
  tmp.Write("out", "");
  const int fd = open(tmp.Path("out").c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  const std::string dev = std::to_string(st.st_dev) + ":";
  const std::string same = dev + std::to_string(st.st_ino), other = dev + "0";
  const std::vector<std::tuple<int, const char*, bool>> rows = {{fd, same.c_str(), true},
                                                                {fd, other.c_str(), false},
                                                                {fd, "stream", false},
                                                                {fd, nullptr, false},
                                                                {-1, same.c_str(), false}};
  for (const auto& [out, variable, journal] : rows)
    EXPECT_EQ(systemd::IsJournalStream(out, variable), journal)
        << out << " " << (variable ? variable : "unset");
  close(fd);
}

// The watchdog is kept only when it is meant for this process: a child of a watched service
// inherits the variables, and its pings would count for a process that may have hung.
TEST(WatchdogUsec, OnlyAWatchdogMeantForThisProcess) {
  const std::string self = std::to_string(getpid());
  // clang-format off
  const std::vector<std::tuple<const char*, const char*, uint64_t>> rows = {
      {nullptr, nullptr, 0}, {"300000", nullptr, 300000}, {"300000", self.c_str(), 300000},
      {"300000", "1", 0}, {"30x", nullptr, 0}, {"-5", nullptr, 0}, {"", nullptr, 0},
      {"18446744073709551615", nullptr, UINT64_MAX}};
  // clang-format on
  for (const auto& [usec, pid, expected] : rows) {
    SCOPED_TRACE(std::string(usec ? usec : "unset") + "/" + (pid ? pid : "unset"));
    for (const auto& [name, value] : {std::pair{"WATCHDOG_USEC", usec}, {"WATCHDOG_PID", pid}})
      value ? setenv(name, value, 1) : unsetenv(name);
    EXPECT_EQ(systemd::WatchdogUsecFromEnvironment(), expected);
  }
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
}

}  // namespace
}  // namespace telvaro3
