#pragma once

// Child processes for end-to-end tests: the program and the terminal simulator.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace telvaro3::test {

struct ProcessOptions {
  std::string cwd;                         // empty: the test's own
  std::map<std::string, std::string> env;  // set (an empty value unsets)
  std::string stdoutPath = "/dev/null";    // a file that receives standard output
  std::string stderrPath = "/dev/null";
  std::string stdinPath = "/dev/null";
  // Largest file the child may write, in bytes, as on a nearly full disk (no limit when
  // negative); writing past it fails instead of ending the child.
  long fileSizeLimit = -1;
};

class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Waits up to timeoutSeconds; true when the child ended (its status in ExitCode()).
  bool Wait(double timeoutSeconds);
  void Signal(int sig);
  int ExitCode() const { return exitCode_; }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int exitCode_ = -1;
};

// The program in its text view, as a script runs it: its binary with the blank-separated words
// of line, no display, the serial ports of configHome, standard output into outPath.
// The options in extra apply too (cwd and output are set here; a display it names is kept), and
// prefix, when given, is a command that runs the program (its words come first).
std::unique_ptr<Process> StartProgram(const std::string& line, const std::string& cwd,
                                      const std::string& configHome, const std::string& outPath,
                                      ProcessOptions extra = {},
                                      const std::vector<std::string>& prefix = {});

// A fresh temporary directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return (path / name).string(); }
  // Writes a file (bytes as given) under the directory, making its parent directories.
  void Write(const std::string& name, const std::string& bytes) const;
  std::filesystem::path path;
};

// n bytes from a generator seeded with seed: the same n and seed give the same bytes.
std::string RandomBytes(size_t n, unsigned seed);

// Splits a line at blanks.
std::vector<std::string> Words(const std::string& line);

// Reads a whole file; empty when there is none.
std::string Slurp(const std::string& path);

// Waits until path exists (up to timeoutSeconds).
bool WaitForPath(const std::string& path, double timeoutSeconds);

// The last line of the program's text output that starts with prefix, without the prefix.
std::string LastLine(const std::string& output, const std::string& prefix);

}  // namespace telvaro3::test
