#include "posix/spool_locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "base/system.h"
#include "posix/posix_system.h"

namespace telvaro3::posix {
namespace {

constexpr std::chrono::milliseconds kLockPoll{10};
// Commits and tidying hold a directory for moments; this bound only guards against a file system
// that never answers.
constexpr std::chrono::milliseconds kDirectoryWait{10000};

// The window can only say that the file could not be made; the reason goes where a log sees it.
[[noreturn]] void Refuse(const std::string& real, const char* why, int16_t number) {
  std::fprintf(stderr, "telvaro3: %s: %s\n", real.c_str(), why);
  throw RunTimeError(number, RunTimeErrorText(number));
}

// Refuses a target that a reception may not write: anything but a regular file (a link would
// lead the records out of the directory, or be replaced by a file), and a file that its owner
// made read-only, whoever runs the program.
void CheckTarget(const std::string& real, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) Refuse(real, "not a regular file, never written", 75);
  if ((st.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, real.c_str(), W_OK, AT_EACCESS) != 0)
    Refuse(real, "read-only, never replaced", 70);
}

}  // namespace

bool LockWithin(int fd, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(kLockPoll);
  }
}

int LockNamedFile(const std::string& real, struct stat& st) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    struct stat named {};
    if (::lstat(real.c_str(), &named) != 0) {
      if (errno == ENOENT) return -1;
      ThrowFileError(errno, real);
    }
    CheckTarget(real, named);
    const int fd = ::open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      ThrowFileError(errno, real);
    }
    if (!LockWithin(fd, kTargetLockWait)) {
      ::close(fd);
      Refuse(real, "held by another reception or an importer", 55);
    }
    // An importer may have taken the file away between the opening and the lock: the lock must
    // be on the file that the name names now.
    struct stat now {};
    if (::fstat(fd, &st) == 0 && ::lstat(real.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino)
      return fd;
    ::close(fd);
  }
  throw RunTimeError(55, RunTimeErrorText(55));
}

void WriteAll(int fd, const char* data, size_t size, const std::string& errorPath) {
  while (size > 0) {
    const ssize_t w = ::write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    // A write that takes nothing and reports nothing is a full disk.
    if (w <= 0) ThrowFileError(w < 0 ? errno : ENOSPC, errorPath);
    data += w;
    size -= static_cast<size_t>(w);
  }
}

DirectoryGuard::DirectoryGuard(const std::string& dir, const std::string& errorPath)
    : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (fd_ < 0) ThrowFileError(errno, errorPath);
  if (!LockWithin(fd_, kDirectoryWait)) {
    ::close(fd_);
    throw RunTimeError(55, RunTimeErrorText(55));
  }
}

DirectoryGuard::~DirectoryGuard() {
  ::close(fd_);
}

}  // namespace telvaro3::posix
