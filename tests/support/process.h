#pragma once

// Child processes for end-to-end tests: the program and the terminal simulator.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace telvaro3::test {

struct ProcessOptions {
  // Given initializers so that designated initializers may leave them out.
  std::string cwd = "";                         // empty: the test's own
  std::map<std::string, std::string> env = {};  // set (an empty value unsets)
  std::string stdoutPath = "/dev/null", stderrPath = "/dev/null", stdinPath = "/dev/null";
  // Largest file the child may write (as on a nearly full disk), none when negative; writing
  // past it fails instead of ending the child.
  long fileSizeLimit = -1;
};

class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  bool Wait(double timeoutSeconds);  // true when the child ended (its status in ExitCode())
  void Signal(int sig);
  int ExitCode() const { return exitCode_; }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int exitCode_ = -1;
};

// `o` with no display and none of the test run's own service manager, journal or watchdog, as
// a service starts the program; what `o` sets itself stays.
ProcessOptions Unattended(ProcessOptions o);

// The records the simulator makes up for --records: field j of record i is "i.j." repeated, cut
// to the field's length; each record ends in CR LF.
std::string SyntheticRecords(int count, const std::vector<int>& fields);

// A fresh temporary directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return (path / name).string(); }
  void Write(const std::string& name, const std::string& bytes) const;  // makes parents
  std::filesystem::path path;
};

std::string RandomBytes(size_t n, unsigned seed);  // the same n and seed give the same bytes
std::vector<std::string> Words(const std::string& line);
std::string Slurp(const std::string& path);  // empty when there is no file
// Polls until done() holds or timeoutSeconds pass; true when it held.
bool PollUntil(double timeoutSeconds, const std::function<bool()>& done);
// The last line of the program's text output that starts with prefix, without the prefix.
std::string LastLine(const std::string& output, const std::string& prefix);
// The names in a directory, hidden ones among them, in name order.
std::vector<std::string> NamesIn(const std::string& dir);
// How many times `what` occurs in `text`.
size_t Occurrences(const std::string& text, const std::string& what);

}  // namespace telvaro3::test
