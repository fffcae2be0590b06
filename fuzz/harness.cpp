#include "harness.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace telvaro3::fuzz {

namespace fs = std::filesystem;

Snapshot Take(const fs::path& dir) {
  Snapshot s;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string name = fs::relative(it->path(), dir).string();
    if (it->is_directory()) {
      s[name + "/"] = "";
      continue;
    }
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    s[name] = bytes.str();
  }
  return s;
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Workspace::Workspace() {
  // Memory-backed where there is such a file system: receptions flush their files to disk.
  std::error_code ec;
  const fs::path base =
      fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string tmpl = (base / "telvaro3-fuzz-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) Fail("cannot make the scratch directory");
  root = tmpl;
  recv = root / "recv";
  sentinel = root / "sentinel";
  fs::create_directories(recv);
  fs::create_directories(sentinel / "inner");
  WriteBytes(sentinel / "KEEP.TXT", "must stay\r\n");
  WriteBytes(sentinel / "ORDERS.BHT", "outside\r\n");
  WriteBytes(sentinel / "inner" / "DATA.TXT", "deeper\r\n");
  sentinelBefore_ = Take(sentinel);
  cwd_ = fs::current_path();
}

Workspace::~Workspace() {
  std::error_code ec;
  fs::remove_all(root, ec);
}

void Workspace::Reset(const Snapshot& files) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(recv, ec)) fs::remove_all(e.path(), ec);
  for (const auto& [name, bytes] : files) WriteBytes(recv / name, bytes);
}

void Workspace::CheckOutside() const {
  size_t entries = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root, ec)) {
    ++entries;
    if (e.path() != recv && e.path() != sentinel)
      Fail("a file appeared beside the receive directory");
  }
  Check(entries == 2, "the receive or the sentinel directory went away");
  Check(Take(sentinel) == sentinelBefore_, "the sentinel directory changed");
  Check(fs::current_path() == cwd_, "the working directory changed");
}

std::vector<Chunk> SplitChunks(std::string_view input) {
  std::vector<Chunk> chunks;
  while (!input.empty()) {
    const size_t cut = input.find(kChunkSeparator);
    std::string_view piece = input.substr(0, cut);
    input = cut == std::string_view::npos ? std::string_view()
                                          : input.substr(cut + kChunkSeparator.size());
    if (piece.empty()) continue;
    const auto timing = static_cast<unsigned char>(piece[0]);
    Chunk c;
    c.delaySeconds = (timing & 0x0F) * 0.25;
    c.withPrevious = (timing & 0x40) != 0;
    c.bytes = std::string(piece.substr(1));
    chunks.push_back(std::move(c));
  }
  return chunks;
}

}  // namespace telvaro3::fuzz
