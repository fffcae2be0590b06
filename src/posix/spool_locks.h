#pragma once

#include <sys/stat.h>

#include <chrono>
#include <string>

namespace telvaro3::posix {

// How long a reception waits for a file that an importer or another reception holds: an
// importer's move is over in moments, another reception may take minutes, and the terminal
// waits three seconds for its answer.
constexpr std::chrono::milliseconds kTargetLockWait{1500};

// Takes the exclusive flock of fd, trying for at most `wait`. True when it is held, or when the
// file system offers no locks at all (the reception then goes on unguarded, as before locks).
bool LockWithin(int fd, std::chrono::milliseconds wait);

// Locks the regular file that realPath names, checked to be one that a reception may write, and
// makes sure, once locked, that the name still names it. Returns its descriptor and its status in
// st, or -1 when no file has that name. Throws RunTimeError: 55 held by another, 70 read-only,
// 75 not a regular file (a link among them).
int LockNamedFile(const std::string& realPath, struct stat& st);

// Writes all of data to fd; throws the RunTimeError of the failure, naming errorPath.
void WriteAll(int fd, const char* data, size_t size, const std::string& errorPath);

// Holds a directory's own lock while hidden files are made, tidied or committed in it, so that a
// tidying reception never sees another's file between its making and its locking, and never
// meets a commit half done.
class DirectoryGuard {
 public:
  // errorPath: the path whose errors are reported when the directory cannot be held.
  DirectoryGuard(const std::string& dir, const std::string& errorPath);
  ~DirectoryGuard();
  DirectoryGuard(const DirectoryGuard&) = delete;
  DirectoryGuard& operator=(const DirectoryGuard&) = delete;

 private:
  int fd_;
};

}  // namespace telvaro3::posix
