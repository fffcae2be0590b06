#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telvaro3::posix {

// How a received file takes its place: as a whole new version, or added to the end of the file.
enum class Placement { Replace, Append };

// A received file on its way into its directory, for both protocols. Until it is committed the
// target is untouched: everything written goes to a hidden file beside it
// (".NAME.part-XXXXXX"), which stays locked for as long as this object holds it, so that a later
// reception can tell the leftover of one that died from the work of one still running.
//
// The target, when it exists, is locked (flock) from the opening to the end, so that an importer
// that takes the same lock (`flock ORDERS.BHT mv ORDERS.BHT batch/`) never takes a file in the
// middle of a reception, and two receptions of one file never run at once.
//
// Failures throw RunTimeError.
class IncomingFile {
 public:
  // Opens the reception of realPath (UTF-8). The directory's leftovers of receptions that died
  // are dealt with first (see TidyDirectory). Refused: a target that another reception holds
  // (55, after a short wait), that is read-only, even for root (70), or that is not a regular file
  // (a link, a pipe, a device, a directory: 75); or the error of making the hidden file.
  static std::unique_ptr<IncomingFile> Open(const std::string& realPath, Placement placement);
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // Adds data to the hidden file. A failure (a full disk) is reported by the call whose data did
  // not fit, never by a later one: data is held back in memory only while the space it needs is
  // already reserved in the file.
  void Write(const char* data, size_t size);
  // Drops what was written; the target stays as it was. Never throws.
  void Abandon() noexcept;

  const std::string& Target() const { return target_; }
  const std::string& Directory() const { return dir_; }
  Placement Mode() const { return placement_; }

 private:
  friend class CommitJournal;
  IncomingFile(std::string target, std::string dir, Placement placement);
  // Reserves space up to at least `end`; false (and no more reserving) when it cannot.
  bool Reserve(off_t end);
  void Flush();
  // Hands everything held to the file and gives back the space reserved beyond its end; before
  // the file is read or renamed.
  void Finish();

  std::string target_;  // the real path of the file to receive
  std::string dir_;     // its directory
  Placement placement_;
  std::string temp_;  // the hidden file, "" once committed or abandoned
  int tempFd_ = -1;
  int targetFd_ = -1;  // the target's lock, -1 when it did not exist at the opening
  dev_t targetDev_ = 0;
  ino_t targetIno_ = 0;
  std::string held_;       // written, not yet handed to the file; always within reserved space
  off_t handed_ = 0;       // bytes handed to the file
  off_t reserved_ = 0;     // the file's space is reserved up to here
  bool reserving_ = true;  // false once a reservation failed or is not supported
};

// Puts every file in place, all or none of them. The files must share one directory. Appended
// records reach their targets under a journal in that directory, so that a power cut in the
// middle leaves work that the next reception finishes. When it throws, every target is as it
// was. The files are done with either way.
void CommitTogether(const std::vector<IncomingFile*>& files);

// Finishes the commits that receptions into dir left unfinished when they died, and removes the
// hidden files of receptions that died. The files of receptions still running are never touched.
void TidyDirectory(const std::string& dir);

// The permissions a new file of this process gets (0666 less the umask), read without changing
// the umask, which other threads may be using.
mode_t NewFileMode();

}  // namespace telvaro3::posix
