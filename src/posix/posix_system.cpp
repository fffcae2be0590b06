#include "posix/posix_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "base/text.h"
#include "posix/incoming_file.h"

namespace telvaro3::posix {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of dir whose name equals name without regard to letter case, or "" when none.
std::string FindEntry(const std::string& dir, const std::string& nameUtf8) {
  if (Exists(dir + "/" + nameUtf8)) return nameUtf8;
  DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
  if (d == nullptr) return "";
  const std::string want = UpperLatin1(Utf8ToLatin1(nameUtf8));
  std::string found;
  while (struct dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    const std::string latin1 = Utf8ToLatin1(entry);
    // A name that Latin-1 cannot hold would match through its '?' stand-ins: never take it.
    if (Latin1ToUtf8(latin1) != entry) continue;
    if (UpperLatin1(latin1) == want) {
      found = entry;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// Holds a stdio stream's lock for as long as it lives.
class LockedFile {
 public:
  explicit LockedFile(FILE* f) : f_(f) { flockfile(f_); }
  ~LockedFile() { funlockfile(f_); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

 private:
  FILE* f_;
};

// A file opened for reading.
class InputTextFile : public TextFile {
 public:
  InputTextFile(FILE* f, std::string path) : f_(f), path_(std::move(path)) {}
  ~InputTextFile() override { Close(); }

  bool ReadLine(std::string& line) override { return ReadLineUpTo(line, std::string::npos); }

  bool ReadLineUpTo(std::string& line, size_t keep) override {
    line.clear();
    if (f_ == nullptr) throw RunTimeError(52, RunTimeErrorText(52));
    // A line is read a character at a time, once for every record sent: the file is locked once
    // for the line rather than once for every character.
    const LockedFile locked(f_);
    bool any = false;
    for (;;) {
      int c = getc_unlocked(f_);
      if (c == EOF) {
        if (std::ferror(f_)) ThrowFileError(errno, path_);
        return any;
      }
      any = true;
      if (c == '\n') return true;
      if (c == '\r') {
        int next = getc_unlocked(f_);
        if (next != '\n' && next != EOF) std::ungetc(next, f_);
        return true;
      }
      if (line.size() < keep) line.push_back(static_cast<char>(c));
    }
  }

  void WriteLine(const std::string&) override { throw RunTimeError(54, RunTimeErrorText(54)); }
  void Commit() override { Close(); }
  void Close() noexcept override {
    if (f_ != nullptr) std::fclose(f_);
    f_ = nullptr;
  }

 private:
  FILE* f_;
  std::string path_;
};

// A file being received: its lines reach the file itself only when committed.
class OutputTextFile : public TextFile {
 public:
  explicit OutputTextFile(std::unique_ptr<IncomingFile> file) : file_(std::move(file)) {}

  bool ReadLine(std::string&) override { throw RunTimeError(54, RunTimeErrorText(54)); }

  // Each line is handed to the system at once, so that a full disk is seen at the line that hit
  // it. A line comes with every record: it is put together in a buffer kept for its capacity.
  void WriteLine(const std::string& line) override {
    if (!file_) throw RunTimeError(52, RunTimeErrorText(52));
    line_.assign(line).append("\r\n");
    file_->Write(line_.data(), line_.size());
  }

  void Commit() override {
    if (!file_) throw RunTimeError(52, RunTimeErrorText(52));
    CommitTogether({file_.get()});
    file_.reset();
  }

  void Close() noexcept override { file_.reset(); }

  IncomingFile* Incoming() { return file_.get(); }

 private:
  std::unique_ptr<IncomingFile> file_;
  std::string line_;  // the line being written
};

}  // namespace

std::string RealPath(const std::string& programPath, const std::string& baseDir) {
  std::string p = programPath;
  for (char& c : p)
    if (c == '\\') c = '/';
  std::string root;
  if (p.size() >= 2 && p[1] == ':') {
    p = p.substr(2);
    root = "/";
  } else if (!p.empty() && p[0] == '/') {
    root = "/";
  } else {
    root = baseDir.empty() ? std::string(".") : baseDir;
  }
  // Split into components and match each one that exists.
  std::string result = root == "/" ? "" : root;
  if (!result.empty() && result.back() == '/') result.pop_back();
  bool matching = true;
  size_t pos = 0;
  bool trailingSlash = !p.empty() && p.back() == '/';
  while (pos <= p.size()) {
    size_t next = p.find('/', pos);
    if (next == std::string::npos) next = p.size();
    std::string comp = p.substr(pos, next - pos);
    pos = next + 1;
    if (comp.empty()) continue;
    std::string utf8 = Latin1ToUtf8(comp);
    if (comp != "." && comp != ".." && matching) {
      std::string found = FindEntry(result.empty() ? "/" : result, utf8);
      if (found.empty()) {
        matching = false;
      } else {
        utf8 = found;
      }
    }
    result += "/" + utf8;
  }
  if (result.empty()) result = "/";
  if (trailingSlash && result.back() != '/') result += "/";
  return result;
}

int16_t RunTimeErrorOf(int err, const std::string& realPath) {
  switch (err) {
    case ENOENT: {
      // A missing file in an existing directory, or a directory that is not there.
      std::string parent = realPath;
      while (!parent.empty() && parent.back() == '/') parent.pop_back();
      size_t slash = parent.rfind('/');
      parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : parent.substr(0, slash));
      return IsDirectory(parent) ? 53 : 76;
    }
    case ENOTDIR:
      return 76;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 61;
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
      return 64;
    case EACCES:
    case EPERM:
    case EROFS:
      return 70;
    case EIO:
    case ENXIO:
    case ENODEV:
      return 71;
    case EMFILE:
    case ENFILE:
      return 67;
    case ETXTBSY:
    case EBUSY:
      return 55;
    default:
      return 75;
  }
}

void ThrowFileError(int err, const std::string& realPath) {
  int16_t n = RunTimeErrorOf(err, realPath);
  throw RunTimeError(n, RunTimeErrorText(n));
}

PosixSystem::PosixSystem(std::string cwd, std::vector<std::string> args, std::string argv0)
    : cwd_(std::move(cwd)), args_(std::move(args)), argv0_(std::move(argv0)) {
  pthread_sigmask(SIG_SETMASK, nullptr, &startMask_);
  if (cwd_.empty()) {
    char buf[4096];
    if (::getcwd(buf, sizeof buf) != nullptr)
      cwd_ = buf;
    else
      cwd_ = ".";
  }
}

double PosixSystem::Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void PosixSystem::Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime PosixSystem::Clock() {
  std::time_t t = std::time(nullptr);
  struct tm tmv {};
  ::localtime_r(&t, &tmv);
  return LocalTime{tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                   tmv.tm_hour,        tmv.tm_min,     tmv.tm_sec};
}

DiskSpace PosixSystem::FreeSpaceOf(const std::string& root) {
  DiskSpace d;
  d.queried = true;
  struct statvfs s {};
  if (::statvfs(Resolve(root).c_str(), &s) != 0) {
    d.ok = false;
    d.errorNumber = RunTimeErrorOf(errno, Resolve(root));
    return d;
  }
  d.ok = true;
  d.sectorsPerCluster = 1;
  d.bytesPerSector = s.f_frsize;
  d.freeClusters = s.f_bavail;
  d.totalClusters = s.f_blocks;
  return d;
}

void PosixSystem::RequestPowerOff() {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::sigprocmask(SIG_SETMASK, &startMask_, nullptr);
    ::execlp("systemctl", "systemctl", "poweroff", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid > 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
}

std::string PosixSystem::CurrentDirectory() {
  // Relative, so that every path that starts here is resolved from the real working directory
  // and never from a Latin-1 copy of its name, which loses what Latin-1 cannot hold.
  return ".\\";
}

std::string PosixSystem::ProgramName() {
  std::string n = argv0_;
  size_t slash = n.rfind('/');
  if (slash != std::string::npos) n = n.substr(slash + 1);
  size_t dot = n.rfind('.');
  if (dot != std::string::npos && dot > 0) n = n.substr(0, dot);
  return Utf8ToLatin1(n);
}

std::string PosixSystem::CommandLine() {
  std::string line;
  for (size_t i = 0; i < args_.size(); ++i) {
    if (i > 0) line += ' ';
    line += args_[i];
  }
  return Utf8ToLatin1(line);
}

namespace {

// Opens a regular file as a stream. Anything else is refused with a file access error: a
// device could be read without end, and a named pipe would block the program in the opening
// itself, where not even Cancel reaches it, so nothing is opened that could wait. `st` receives
// what the file is.
FILE* OpenRegular(const std::string& real, int flags, const char* streamMode, struct stat& st) {
  const int fd = ::open(real.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  // ENXIO: a named pipe that nobody reads.
  if (fd < 0 && errno != ENXIO) ThrowFileError(errno, real);
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    throw RunTimeError(75, RunTimeErrorText(75));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* f = ::fdopen(fd, streamMode);
  if (f == nullptr) {
    const int err = errno;
    ::close(fd);
    ThrowFileError(err, real);
  }
  return f;
}

}  // namespace

std::unique_ptr<TextFile> PosixSystem::OpenText(const std::string& path, FileMode mode) {
  std::string real = Resolve(path);
  if (!real.empty() && real.back() == '/') throw RunTimeError(75, RunTimeErrorText(75));
  if (mode != FileMode::Input && IsDirectory(real)) throw RunTimeError(75, RunTimeErrorText(75));
  struct stat st {};
  if (mode == FileMode::Input) {
    FILE* f = OpenRegular(real, O_RDONLY, "rb", st);
    return std::make_unique<InputTextFile>(f, real);
  }
  return std::make_unique<OutputTextFile>(
      IncomingFile::Open(real, mode == FileMode::Append ? Placement::Append : Placement::Replace));
}

void PosixSystem::CommitTogether(const std::vector<TextFile*>& files) {
  std::vector<IncomingFile*> incoming;
  for (TextFile* t : files) {
    auto* out = dynamic_cast<OutputTextFile*>(t);
    if (out == nullptr || out->Incoming() == nullptr) throw RunTimeError(52, RunTimeErrorText(52));
    incoming.push_back(out->Incoming());
  }
  try {
    posix::CommitTogether(incoming);
  } catch (...) {
    for (TextFile* t : files) t->Close();
    throw;
  }
  for (TextFile* t : files) t->Close();
}

bool PosixSystem::CanCreateIn(const std::string& directory) {
  std::string real = Resolve(directory.empty() ? std::string(".") : directory);
  return IsDirectory(real) && ::access(real.c_str(), W_OK | X_OK) == 0;
}

}  // namespace telvaro3::posix
