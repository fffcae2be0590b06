#include "serial/ymodem_incoming.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "base/codes.h"
#include "base/system.h"
#include "posix/incoming_file.h"

namespace telvaro3::serial::ymodem_detail {

namespace {

constexpr int kVerdictPollMs = 5;  // how often a held file looks for the program's word

// The announced name with everything up to its last separator removed; empty when refused.
std::string SafeName(const uint8_t* text, size_t n) {
  std::string full(reinterpret_cast<const char*>(text), n);
  size_t cut = full.find_last_of("/\\");
  std::string name = (cut == std::string::npos) ? full : full.substr(cut + 1);
  if (name.empty() || name == "." || name == "..") return {};
  for (unsigned char c : name) {
    // C0 and C1 control characters and DEL.
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return {};
  }
  return name;
}

// Reads the decimal size that follows the name (after any spaces) from p up to end into h.
void ParseSize(const uint8_t* p, const uint8_t* end, Header& h) {
  while (p < end && *p == ' ') ++p;
  int64_t size = 0;
  bool digits = false;
  while (p < end && *p >= '0' && *p <= '9') {
    size = size * 10 + (*p - '0');
    digits = true;
    if (size > std::numeric_limits<int32_t>::max()) {
      h.refused = true;  // the counters the program reads are 32-bit
      return;
    }
    ++p;
  }
  h.sizeKnown = digits;
  h.size = size;
}

}  // namespace

Header ParseHeader(const uint8_t* data, size_t len) {
  Header h;
  if (data[0] == 0) {
    h.endOfBatch = true;
    return h;
  }
  const uint8_t* end = data + len;
  const uint8_t* nul = std::find(data, end, uint8_t{0});
  if (nul == end) {
    h.refused = true;
    return h;
  }
  h.name = SafeName(data, static_cast<size_t>(nul - data));
  if (h.name.empty()) {
    h.refused = true;
    return h;
  }
  ParseSize(nul + 1, end, h);
  return h;
}

std::string DisplayPath(const std::string& displayDir, const std::string& name) {
  if (displayDir.empty() || displayDir.back() == '\\') return displayDir + name;
  return displayDir + '\\' + name;
}

bool AwaitVerdict(TransferStatus& st, const Header& h, const std::string& displayDir) {
  st.bytes.store(0);
  st.size.store(static_cast<int32_t>(h.size));
  st.SetCurrentPath(DisplayPath(displayDir, h.name));
  st.state.store(kYModemHeader);
  while (st.judgeNames.load() && !st.Accepted()) {
    if (st.cancel.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kVerdictPollMs));
  }
  return true;
}

ReceivedFile::ReceivedFile() = default;
ReceivedFile::~ReceivedFile() = default;

bool ReceivedFile::Open(const std::filesystem::path& dir, const std::string& name) {
  try {
    file_ = posix::IncomingFile::Open((dir / name).string(), posix::Placement::Replace);
    return true;
  } catch (const RunTimeError&) {
    return false;
  }
}

bool ReceivedFile::Write(const uint8_t* data, size_t n) {
  try {
    file_->Write(reinterpret_cast<const char*>(data), n);
    return true;
  } catch (const RunTimeError&) {
    return false;
  }
}

bool ReceivedFile::Commit() {
  try {
    posix::CommitTogether({file_.get()});
    file_.reset();
    return true;
  } catch (const RunTimeError&) {
    file_.reset();
    return false;
  }
}

}  // namespace telvaro3::serial::ymodem_detail
