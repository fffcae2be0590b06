#pragma once

// What every fuzz target shares: a scratch area on disk, snapshots of directories, the table of
// result codes, and the cutting of an input into timed chunks.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro3::fuzz {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void Fail(const char* what, long detail = 0) {
  std::fprintf(stderr, "invariant broken: %s (%ld)\n", what, detail);
  std::abort();
}
inline void Check(bool ok, const char* what, long detail = 0) {
  if (!ok) Fail(what, detail);
}

// With TELVARO3_FUZZ_SHOW set in the environment, says how a run ended (to check what the seeds
// of a corpus reach).
template <typename... Args>
void Show(const char* format, Args... args) {
  static const bool show = std::getenv("TELVARO3_FUZZ_SHOW") != nullptr;
  if (!show) return;
  std::fprintf(stderr, format, args...);
  std::fputc('\n', stderr);
}

// The codes a run can end with: those the result line has a text for (also 61, which a full disk
// leaves on a file commit), and the port's fault events.
inline bool KnownCode(int code) {
  if (code >= 0 && code <= 9) return true;
  if (code >= 51 && code <= 55) return true;
  if (code >= 1000 && code <= 1010) return true;
  switch (code) {
    case 61:
    case 70:
    case 71:
    case 72:
    case 79:
    case 90:
    case 99:
    case 101:
    case 102:
      return true;
    default:
      return false;
  }
}

// Every file under a directory (relative name, then "/" for a directory) with its contents.
using Snapshot = std::map<std::string, std::string>;
Snapshot Take(const std::filesystem::path& dir);
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);

// A directory made once per process and removed at its end: "recv", where the run works, and
// beside it "sentinel", which no run may touch. The process's working directory must not change
// either.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  std::filesystem::path root, recv, sentinel;
  // Empties "recv" and fills it with these files.
  void Reset(const Snapshot& files);
  // Nothing changed outside "recv".
  void CheckOutside() const;

 private:
  Snapshot sentinelBefore_;
  std::filesystem::path cwd_;
};

// An input cut at a separator into chunks; the first byte of each chunk tells when it arrives.
struct Chunk {
  std::string bytes;
  double delaySeconds = 0;    // after its trigger
  bool withPrevious = false;  // same trigger as the chunk before (else: the next write)
};
inline constexpr std::string_view kChunkSeparator = "~~";
// Timing byte: low four bits times 0.25 s of delay; bit 6 set: with the previous chunk. So '0'
// is "at once after the next write" and '@' "at once, with the previous chunk".
std::vector<Chunk> SplitChunks(std::string_view input);

}  // namespace telvaro3::fuzz
