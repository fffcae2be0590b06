#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "base/system.h"

namespace telvaro3::posix {

// The real path of a program path: backslashes become '/', a leading drive "X:" becomes the root,
// a relative path is taken from baseDir, and every component that exists is matched without
// regard to letter case. Components that do not exist keep the name as the program holds it.
// The program path is Latin-1; the result is UTF-8.
std::string RealPath(const std::string& programPath, const std::string& baseDir);

// The run-time error number for an errno value of a file operation on realPath.
int16_t RunTimeErrorOf(int err, const std::string& realPath);

// Throws the RunTimeError for errno value err met on realPath.
[[noreturn]] void ThrowFileError(int err, const std::string& realPath);

class PosixSystem : public System {
 public:
  // cwd: the directory that relative paths start from (the process's own when empty).
  explicit PosixSystem(std::string cwd = "", std::vector<std::string> args = {},
                       std::string argv0 = "telvaro3");

  double Now() override;
  void Sleep(int ms) override;
  LocalTime Clock() override;
  DiskSpace FreeSpaceOf(const std::string& root) override;
  void RequestPowerOff() override;
  std::string CurrentDirectory() override;
  std::string ProgramName() override;
  std::string CommandLine() override;

  std::unique_ptr<TextFile> OpenText(const std::string& path, FileMode mode) override;
  void CommitTogether(const std::vector<TextFile*>& files) override;
  bool CanCreateIn(const std::string& directory) override;

  const std::string& BaseDir() const { return cwd_; }
  std::string Resolve(const std::string& programPath) const { return RealPath(programPath, cwd_); }

 private:
  std::string cwd_;
  std::vector<std::string> args_;
  std::string argv0_;
  // The signals held back when the object was made (at the program's start): the window holds
  // the stop signals back while it reads them, and a program started from here must not inherit
  // that.
  sigset_t startMask_{};
};

}  // namespace telvaro3::posix
