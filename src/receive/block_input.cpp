#include "receive/block_input.h"

#include <algorithm>

#include "base/waits.h"

namespace telvaro3 {
namespace {

constexpr double kBlockWaitSeconds = 3.0;
// Longest pause between two characters of a block that is still coming in.
constexpr double kArrivalGapSeconds = 1.0;
// Text characters kept of a heading: one more than the longest heading text, so that a longer
// one is still judged too long.
constexpr size_t kKeptHeadingText = kLongestHeadingBlock - 3 + 1;

char First(const std::string& control) {
  return control.empty() ? '\0' : control[0];
}

}  // namespace

BlockWait::BlockWait(const Program& p, double start, size_t longestBlock)
    : end_(start + kBlockWaitSeconds),
      limit_(end_ + LineSeconds(p, longestBlock) + kArrivalGapSeconds) {}

void BlockWait::Arrived(double now) {
  end_ = std::max(end_, std::min(now + kArrivalGapSeconds, limit_));
}

HeadingInput::HeadingInput(const RunState& s)
    : soh_(First(s.SOH)), etx_(First(s.ETX)), enqChar_(First(s.ENQ)) {}

void HeadingInput::Add(const std::string& chunk) {
  for (const char c : chunk) {
    ++seen_;
    last_ = c;
    if (c == enqChar_) enq_ = true;
    if (c == etx_ && firstEtx_ == 0) firstEtx_ = seen_;
    if (sohAt_ == 0) {
      if (c == soh_) sohAt_ = seen_;
      continue;
    }
    const auto code = static_cast<unsigned char>(c);
    xorAll_ ^= code;
    if (etxAt_ == 0) {
      if (c == etx_) {
        etxAt_ = seen_ - sohAt_ + 1;
      } else if (text_.size() < kKeptHeadingText) {
        text_ += c;
      }
    } else if (afterEtx_++ == 0) {
      check_ = c;
    }
  }
}

bool HeadingInput::Complete() const {
  return firstEtx_ >= kHeadingEtxPosition;
}

bool HeadingInput::MayBeArriving() const {
  return sohAt_ != 0 && firstEtx_ == 0 && seen_ - sohAt_ + 1 <= kLongestHeadingBlock;
}

bool HeadingInput::CheckFits() const {
  return xorAll_ == 0;
}

std::string HeadingInput::Kept() const {
  if (sohAt_ == 0) return {};
  std::string kept = std::string(1, soh_) + text_;
  if (etxAt_ == 0) return kept;
  kept += etx_;
  if (afterEtx_ > 0) kept += check_;
  return kept;
}

}  // namespace telvaro3
