#include "posix/incoming_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "base/system.h"
#include "posix/commit_journal.h"
#include "posix/posix_system.h"
#include "posix/spool_locks.h"

namespace telvaro3::posix {
namespace {

// Space is reserved in the hidden file this much at a time; held data is handed on at this size.
constexpr off_t kReserveChunk = 64 * 1024;

// Hidden files of a reception: ".NAME.part-XXXXXX"; ".NAME.telvaro3-XXXXXX" is the name earlier
// versions gave a YModem reception's file, and their leftovers are removed the same way.
bool IsHiddenWork(const std::string& name) {
  if (name.size() < 2 || name[0] != '.') return false;
  for (const std::string marker : {".part-", ".telvaro3-"}) {
    const size_t tail = marker.size() + 6;
    if (name.size() > tail && name.compare(name.size() - tail, marker.size(), marker) == 0)
      return true;
  }
  return false;
}

// Removes the hidden files in dir whose reception has died: a running one holds its file locked.
void RemoveDeadWork(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (!IsHiddenWork(name)) continue;
    const std::string path = dir + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
      ::unlink(path.c_str());
    ::close(fd);
  }
  ::closedir(d);
}

// Makes the hidden file of a reception of `base` in dir, locked, with the given permissions.
std::string MakeHidden(const std::string& dir, const std::string& base, mode_t mode, int& fd) {
  std::string name = "." + base + ".part-";
  if (name.size() + 6 > NAME_MAX) name = ".telvaro3.part-";
  std::string path = dir + "/" + name + "XXXXXX";
  fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) ThrowFileError(errno, dir + "/" + base);
  // Nobody else knows the name yet, and the directory is held: the lock cannot be refused.
  ::flock(fd, LOCK_EX | LOCK_NB);
  ::fchmod(fd, mode);
  return path;
}

std::pair<std::string, std::string> SplitPath(const std::string& real) {
  const size_t slash = real.rfind('/');
  if (slash == std::string::npos) return {".", real};
  return {slash == 0 ? "/" : real.substr(0, slash), real.substr(slash + 1)};
}

}  // namespace

mode_t NewFileMode() {
  mode_t mask = 022;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
      break;
    }
  }
  return 0666 & ~mask;
}

IncomingFile::IncomingFile(std::string target, std::string dir, Placement placement)
    : target_(std::move(target)), dir_(std::move(dir)), placement_(placement) {}

IncomingFile::~IncomingFile() {
  Abandon();
}

std::unique_ptr<IncomingFile> IncomingFile::Open(const std::string& realPath, Placement placement) {
  auto [dir, base] = SplitPath(realPath);
  if (base.empty()) throw RunTimeError(75, RunTimeErrorText(75));
  std::unique_ptr<IncomingFile> f(new IncomingFile(realPath, dir, placement));
  struct stat st {};
  f->targetFd_ = LockNamedFile(realPath, st);
  f->targetDev_ = st.st_dev;
  f->targetIno_ = st.st_ino;
  // The new version gets the permissions of the file it replaces, or those of a new file.
  const mode_t mode = f->targetFd_ >= 0 ? (st.st_mode & 07777) : NewFileMode();
  {
    DirectoryGuard guard(dir, realPath);
    TidyLocked(dir);
    f->temp_ = MakeHidden(dir, base, mode, f->tempFd_);
  }
  return f;
}

// A write(2) per received record is a good part of what receiving costs. So records are held in
// memory and handed on in chunks, but only into space already reserved in the file: a record
// that would not fit on the disk must still fail by itself, before the next one is acknowledged.
// Where space cannot be reserved (no support, a full disk, the process's file size limit),
// every record is written as it comes, and that write decides.
void IncomingFile::Write(const char* data, size_t size) {
  if (tempFd_ < 0) throw RunTimeError(52, RunTimeErrorText(52));
  const off_t end = handed_ + static_cast<off_t>(held_.size() + size);
  if (reserving_ && (end <= reserved_ || Reserve(end))) {
    held_.append(data, size);
    if (static_cast<off_t>(held_.size()) >= kReserveChunk) Flush();
    return;
  }
  Flush();
  WriteAll(tempFd_, data, size, target_);
  handed_ += static_cast<off_t>(size);
}

bool IncomingFile::Reserve(off_t end) {
  const off_t upTo = (end + kReserveChunk - 1) / kReserveChunk * kReserveChunk;
  // Reserving ignores the file size limit that writing obeys: past it, writes must decide.
  struct rlimit limit {};
  const bool limited = ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
  if ((limited && static_cast<rlim_t>(upTo) > limit.rlim_cur) ||
      ::fallocate(tempFd_, FALLOC_FL_KEEP_SIZE, reserved_, upTo - reserved_) != 0) {
    reserving_ = false;
    return false;
  }
  reserved_ = upTo;
  return true;
}

void IncomingFile::Flush() {
  if (held_.empty()) return;
  WriteAll(tempFd_, held_.data(), held_.size(), target_);
  handed_ += static_cast<off_t>(held_.size());
  held_.clear();
}

void IncomingFile::Finish() {
  if (tempFd_ < 0) throw RunTimeError(52, RunTimeErrorText(52));
  Flush();
  // Cutting the file at its own length releases the blocks reserved beyond it.
  if (reserved_ > handed_ && ::ftruncate(tempFd_, handed_) != 0) ThrowFileError(errno, target_);
  reserved_ = handed_;
}

void IncomingFile::Abandon() noexcept {
  // Removed while still locked, so that no tidying reception can take it for a dead one's.
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  held_.clear();
  if (tempFd_ >= 0) ::close(tempFd_);
  tempFd_ = -1;
  if (targetFd_ >= 0) ::close(targetFd_);
  targetFd_ = -1;
}

void TidyDirectory(const std::string& dir) {
  DirectoryGuard guard(dir, dir + "/");
  TidyLocked(dir);
}

void TidyLocked(const std::string& dir) {
  CommitJournal::RollForward(dir);
  RemoveDeadWork(dir);
}

}  // namespace telvaro3::posix
