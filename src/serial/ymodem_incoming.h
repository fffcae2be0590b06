// The file a YModem sender announces, seen from the receiving side: what its block 0 says, the
// name it may be stored under, the program's verdict on it, and its writing beside its target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "serial/ymodem.h"

namespace telvaro3::posix {
class IncomingFile;
}

namespace telvaro3::serial::ymodem_detail {

// What a block 0 announces.
struct Header {
  bool endOfBatch = false;  // the empty block 0 that closes the batch
  bool refused = false;     // a name that cannot be stored, or a size past the 32-bit counters
  std::string name;         // program bytes: the last component of the announced name
  bool sizeKnown = false;
  int64_t size = 0;
};

// Reads the payload of a block 0 (len bytes, data[0] included). Changes nothing.
Header ParseHeader(const uint8_t* data, size_t len);

// The path the program shows for `name` received into `displayDir`: the two joined by a
// backslash unless `displayDir` is empty or ends in one.
std::string DisplayPath(const std::string& displayDir, const std::string& name);

// Announces the file of `h` in `st` (its size, path and the header state) and holds it there
// until the program lets it through, when the program judges names at all. Returns false when
// the program cancelled meanwhile.
bool AwaitVerdict(TransferStatus& st, const Header& h, const std::string& displayDir);

// A file being received: written beside its target and put in place whole, under the
// target's lock (see posix::IncomingFile). Dropped before Commit, it leaves the target as it was.
class ReceivedFile {
 public:
  ReceivedFile();
  ~ReceivedFile();
  ReceivedFile(const ReceivedFile&) = delete;
  ReceivedFile& operator=(const ReceivedFile&) = delete;

  // Makes the temporary file for `name` (UTF-8) in dir. False when dir cannot take it.
  bool Open(const std::filesystem::path& dir, const std::string& name);
  // Appends n bytes. False when they could not be written (the disk is full).
  bool Write(const uint8_t* data, size_t n);
  // Puts the file in place of its target. False when that failed; either way the file is closed.
  bool Commit();

 private:
  std::unique_ptr<posix::IncomingFile> file_;
};

}  // namespace telvaro3::serial::ymodem_detail
