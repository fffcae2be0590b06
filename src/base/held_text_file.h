#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/codes.h"
#include "base/system.h"

namespace telvaro3 {

// A text file read earlier and held in memory, line by line: whatever happens to the file on the
// disk afterwards, a reader of this one sees the version that was read. It can only be read.
class HeldTextFile : public TextFile {
 public:
  explicit HeldTextFile(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  bool ReadLine(std::string& line) override {
    line.clear();
    if (closed_) throw RunTimeError(kRteBadFileNumber, RunTimeErrorText(kRteBadFileNumber));
    if (next_ >= lines_.size()) return false;
    // Copied into the reader's string, whose storage serves line after line.
    line.assign(lines_[next_++]);
    return true;
  }
  // Held for reading: no writing, as a file opened for input.
  void WriteLine(const std::string&) override {
    throw RunTimeError(kRteBadFileMode, RunTimeErrorText(kRteBadFileMode));
  }
  void Commit() override { Close(); }
  void Close() override {
    closed_ = true;
    std::vector<std::string>().swap(lines_);
  }

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
  bool closed_ = false;
};

}  // namespace telvaro3
