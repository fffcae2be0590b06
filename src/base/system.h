#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace telvaro3 {

// A platform run-time error: its number (53 file not found, 55 file already open, 61 disk full,
// 64 bad file name, 68 device unavailable, 70 permission denied, 71 disk not ready, 75 path or
// file access error, 76 path not found, ...), its description and a location number (0 if none).
class RunTimeError : public std::runtime_error {
 public:
  RunTimeError(int16_t number, const std::string& description, int16_t line = 0)
      : std::runtime_error(description), number_(number), line_(line) {}
  int16_t Number() const { return number_; }
  int16_t Line() const { return line_; }
  std::string Description() const { return what(); }

 private:
  int16_t number_;
  int16_t line_;
};

// The description of a run-time error number, in the platform's words.
std::string RunTimeErrorText(int16_t number);
// The result code the program reports for a run-time error number.
int16_t MapRunTimeError(int16_t number);

// Input reads. Output writes a new version of the file, which takes the file's place in one step
// when committed. Append collects lines that are added to the end of the file in one step when
// committed. Until then the file itself is untouched, and a file abandoned, or a program that
// dies, leaves it as it was. While written, the file is locked against importers and other
// receptions of it.
enum class FileMode { Input, Output, Append };

// A sequential text file. Lines end at CR, CR LF or LF when read and are written with CR LF;
// every byte value passes unchanged. Failures throw RunTimeError.
class TextFile {
 public:
  virtual ~TextFile() = default;
  // Reads the next line without its end; false at the end of the file.
  virtual bool ReadLine(std::string& line) = 0;
  // As ReadLine, but keeps only the first `keep` characters of the line: the rest is passed
  // over, so that a file of endless lines cannot fill the memory of a reader that needs little.
  virtual bool ReadLineUpTo(std::string& line, size_t keep) {
    const bool read = ReadLine(line);
    if (line.size() > keep) line.resize(keep);
    return read;
  }
  virtual void WriteLine(const std::string& line) = 0;
  // Makes what was written final and durable, in the file's place, then closes the file. When
  // it throws, the file is as it was before the opening.
  virtual void Commit() = 0;
  // Closes the file. What was written and not committed is abandoned. Never throws.
  virtual void Close() = 0;
};

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Answer of the free-space query of a drive root.
struct DiskSpace {
  bool queried = false;  // false: the query cannot be made at all (errorNumber says why)
  bool ok = false;       // the query ran and reported success
  int16_t errorNumber = 0;
  uint64_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
};

// Operating-system services. Paths are in the program's own syntax (backslashes, optional drive).
class System {
 public:
  virtual ~System() = default;

  // Elapsed seconds, with fractions, on a clock that never jumps.
  virtual double Now() = 0;
  virtual void Sleep(int ms) = 0;
  virtual LocalTime Clock() = 0;
  virtual DiskSpace FreeSpaceOf(const std::string& root) = 0;
  virtual void RequestPowerOff() = 0;
  // The current directory in program syntax, ending in a backslash.
  virtual std::string CurrentDirectory() = 0;
  // The program's executable file name without directory and extension.
  virtual std::string ProgramName() = 0;
  // The argument text after the program's name, as one Latin-1 string.
  virtual std::string CommandLine() = 0;

  // Throws RunTimeError. A file to write that another reception holds, that is read-only or
  // that is not a regular file is refused.
  virtual std::unique_ptr<TextFile> OpenText(const std::string& path, FileMode mode) = 0;
  // Commits files opened by OpenText for Output or Append together: either every one of them
  // takes its place or none does, a power cut included. Closes them all; throws RunTimeError.
  virtual void CommitTogether(const std::vector<TextFile*>& files) = 0;
  // Whether a new file could be made in the directory (program syntax, empty for the current
  // one), without making one.
  virtual bool CanCreateIn(const std::string& directory) = 0;
};

}  // namespace telvaro3
