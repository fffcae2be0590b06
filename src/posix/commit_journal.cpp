#include "posix/commit_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "base/system.h"
#include "posix/posix_system.h"
#include "posix/spool_locks.h"

namespace telvaro3::posix {
namespace {

constexpr char kJournalName[] = ".telvaro3.commit";

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

void SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0) ::fsync(fd.Get());
}

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Writes the whole of src into dst from offset `at` on, and makes it durable.
void CopyAll(int src, int dst, off_t at, const std::string& errorPath) {
  char buf[65536];
  off_t from = 0;
  for (;;) {
    const ssize_t r = ::pread(src, buf, sizeof buf, from);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ThrowFileError(errno, errorPath);
    if (r == 0) break;
    for (ssize_t done = 0; done < r;) {
      const ssize_t w = ::pwrite(dst, buf + done, static_cast<size_t>(r - done), at + from + done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ThrowFileError(w < 0 ? errno : ENOSPC, errorPath);
      done += w;
    }
    from += r;
  }
  if (::fsync(dst) != 0) ThrowFileError(errno, errorPath);
}

// One step of a commit: a hidden file renamed over its target, or its records added to the end
// of the target, which held `base` bytes before (dev and ino name that target).
struct Step {
  bool append = false;
  std::string temp, target;  // names in the directory
  unsigned long long dev = 0, ino = 0;
  long long base = 0;
};

// A line of the journal; '/' cannot occur in a name.
std::string JournalLine(const Step& s) {
  std::ostringstream out;
  out << (s.append ? "A/" : "R/") << s.temp << '/' << s.target;
  if (s.append) out << '/' << s.dev << '/' << s.ino << '/' << s.base;
  out << '\n';
  return out.str();
}

bool ParseJournalLine(const std::string& line, Step& s) {
  std::istringstream in(line);
  std::string kind;
  if (!std::getline(in, kind, '/') || !std::getline(in, s.temp, '/') || s.temp.empty())
    return false;
  s.append = kind == "A";
  if (!s.append) return kind == "R" && std::getline(in, s.target) && !s.target.empty();
  char slash = 0;
  return std::getline(in, s.target, '/') && !s.target.empty() &&
         in >> s.dev >> slash >> s.ino >> slash >> s.base;
}

void WriteJournal(const std::string& dir, const std::vector<Step>& steps) {
  std::string text;
  for (const Step& s : steps) text += JournalLine(s);
  const std::string path = dir + "/" + kJournalName;
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.Get() < 0) ThrowFileError(errno, path);
  WriteAll(fd.Get(), text.data(), text.size(), path);
  if (::fsync(fd.Get()) != 0) ThrowFileError(errno, path);
  SyncDirectory(dir);
}

// durable: false when a journal that came back after a power cut would find nothing left to do
// (its hidden files are gone), so that its removal need not wait for the disk.
void RemoveJournal(const std::string& dir, bool durable = true) {
  ::unlink((dir + "/" + kJournalName).c_str());
  if (durable) SyncDirectory(dir);
}

// Carries out one step of a dead commit again. An append starts again from the target's length
// before it; when the target has been taken away meanwhile, the records go to the file that has
// its name now, so that none of them is lost.
void RollStepForward(const std::string& dir, const Step& s) {
  const std::string temp = dir + "/" + s.temp, target = dir + "/" + s.target;
  struct stat st {};
  if (::lstat(temp.c_str(), &st) != 0) return;  // done before the end
  if (!s.append) {
    if (::rename(temp.c_str(), target.c_str()) != 0) ThrowFileError(errno, target);
    return;
  }
  UniqueFd src(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
  if (src.Get() < 0) ThrowFileError(errno, target);
  int raw = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  off_t at = static_cast<off_t>(s.base);
  if (raw >= 0 && (::fstat(raw, &st) != 0 || st.st_dev != s.dev || st.st_ino != s.ino)) {
    ::close(raw);
    raw = -1;
  }
  if (raw < 0) {
    raw = ::open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, NewFileMode());
    if (raw < 0 || ::fstat(raw, &st) != 0) ThrowFileError(errno, target);
    at = st.st_size;
  }
  UniqueFd dst(raw);
  if (::ftruncate(dst.Get(), at) != 0) ThrowFileError(errno, target);
  CopyAll(src.Get(), dst.Get(), at, target);
  ::unlink(temp.c_str());
}

}  // namespace

void CommitJournal::RollForward(const std::string& dir) {
  std::ifstream in(dir + "/" + kJournalName);
  if (!in) return;
  std::vector<Step> steps;
  std::string line;
  while (std::getline(in, line)) {
    Step s;
    if (ParseJournalLine(line, s)) steps.push_back(s);
  }
  for (const Step& s : steps) RollStepForward(dir, s);
  SyncDirectory(dir);
  RemoveJournal(dir);
}

namespace {

// The target of an append, open for writing and locked, with its length before the records.
struct AppendTarget {
  IncomingFile* file = nullptr;
  int fd = -1;
  off_t base = 0;
  bool created = false;
  bool written = false;
};

}  // namespace

// Opens f's target for the records, under its lock. When no file had the name at the opening,
// or the file was taken away since without the lock, the name's present file is locked, or a
// new one made.
static AppendTarget OpenAppendTarget(IncomingFile& f, int& lockFd, dev_t& dev, ino_t& ino) {
  AppendTarget t;
  t.file = &f;
  const std::string& target = f.Target();
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (lockFd < 0) {
      const int fd =
          ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        struct stat st {};
        ::fstat(fd, &st);
        lockFd = fd;
        dev = st.st_dev;
        ino = st.st_ino;
        if (!LockWithin(fd, kTargetLockWait)) throw RunTimeError(55, RunTimeErrorText(55));
        t.fd = ::dup(fd);
        t.created = true;
        return t;
      }
      if (errno != EEXIST) ThrowFileError(errno, target);
      struct stat st {};
      lockFd = LockNamedFile(target, st);
      dev = st.st_dev;
      ino = st.st_ino;
      continue;
    }
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) ThrowFileError(errno, target);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino) {
      t.fd = fd;
      t.base = st.st_size;
      return t;
    }
    if (fd >= 0) ::close(fd);
    ::close(lockFd);
    lockFd = -1;
  }
  throw RunTimeError(55, RunTimeErrorText(55));
}

void CommitJournal::Commit(const std::vector<IncomingFile*>& files) {
  if (files.empty()) return;
  const std::string dir = files[0]->dir_;
  std::vector<AppendTarget> appends;
  struct Closer {
    std::vector<AppendTarget>& list;
    ~Closer() {
      for (AppendTarget& t : list)
        if (t.fd >= 0) ::close(t.fd);
    }
  } closer{appends};
  std::vector<Step> steps;
  for (IncomingFile* f : files) {
    if (f->tempFd_ < 0 || f->dir_ != dir) throw RunTimeError(52, RunTimeErrorText(52));
    f->Finish();
    if (::fsync(f->tempFd_) != 0) ThrowFileError(errno, f->target_);
    Step s;
    s.append = f->placement_ == Placement::Append;
    s.temp = BaseName(f->temp_);
    s.target = BaseName(f->target_);
    if (s.append) {
      appends.push_back(OpenAppendTarget(*f, f->targetFd_, f->targetDev_, f->targetIno_));
      s.dev = f->targetDev_;
      s.ino = f->targetIno_;
      s.base = appends.back().base;
    }
    steps.push_back(s);
  }
  DirectoryGuard guard(dir, files[0]->target_);
  const bool journal = !appends.empty() || files.size() > 1;
  try {
    if (journal) WriteJournal(dir, steps);
    for (AppendTarget& t : appends) {
      t.written = true;
      CopyAll(t.file->tempFd_, t.fd, t.base, t.file->target_);
    }
    for (IncomingFile* f : files)
      if (f->placement_ == Placement::Replace && ::rename(f->temp_.c_str(), f->target_.c_str()))
        ThrowFileError(errno, f->target_);
  } catch (...) {
    // Every target back as it was: the records added so far go again.
    for (AppendTarget& t : appends) {
      if (!t.written) continue;
      if (t.created)
        ::unlink(t.file->target_.c_str());
      else if (::ftruncate(t.fd, t.base) == 0)
        ::fsync(t.fd);
    }
    if (journal) RemoveJournal(dir);
    throw;
  }
  SyncDirectory(dir);
  for (IncomingFile* f : files) {
    if (f->placement_ == Placement::Append) ::unlink(f->temp_.c_str());
    f->temp_.clear();
  }
  if (journal) RemoveJournal(dir, false);
}

void CommitTogether(const std::vector<IncomingFile*>& files) {
  CommitJournal::Commit(files);
}

}  // namespace telvaro3::posix
