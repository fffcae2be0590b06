// What the receiving waits take from the line: how long a block wait lasts, and the heading as it
// comes in. A line that never stops talking must end each wait on time and cost neither memory
// nor more than one look at each character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/program.h"
#include "link/block_codec.h"

namespace telvaro3 {

// Characters of the longest heading block on the line: SOH, the text of a heading with 16 fields,
// ETX, check character.
inline constexpr size_t kLongestHeadingBlock = 1 + frame::DataHeadingLength(frame::kMostFields) + 2;
// 1-based position from which an ETX can end a heading: after SOH and the shortest text.
inline constexpr size_t kHeadingEtxPosition = 1 + frame::kProgramHeadingLength + 1;

// The end of a block wait: three seconds from its start. A block still coming in by then is given
// the time it needs, as long as its bytes keep coming (at 300 baud a long text block takes more
// than three seconds on the line, and cutting it off would fail every such block), but never more
// than the longest block the wait can accept needs on the line, and a pause: so a line that keeps
// sending ends the wait all the same.
class BlockWait {
 public:
  // longestBlock: characters of the longest block the wait can accept.
  BlockWait(const Program& p, double start, size_t longestBlock);
  // A character of a block that may still be whole has come.
  void Arrived(double now);
  bool Over(double now) const { return now >= end_; }
  double End() const { return end_; }

 private:
  double end_;
  double limit_;  // no extension goes beyond this
};

// A heading wait's input, looked at once as each piece comes. Of what came it keeps only what
// judging the heading needs: whether an ENQ came, where the first ETX of all stands, and the
// block from the first SOH on (its text cut after one character more than the longest heading
// text, which judges the same as the whole of it: too long) with the check values of all of it.
class HeadingInput {
 public:
  explicit HeadingInput(const RunState& s);

  void Add(const std::string& chunk);

  // An ENQ came anywhere.
  bool EnqSeen() const { return enq_; }
  // The first ETX of everything read stands at position 19 or later: a heading may be complete.
  bool Complete() const;
  // A heading that can still be whole is coming in: its SOH has come, no ETX so early that the
  // wait could no longer end with a heading, and no more characters than the longest heading.
  bool MayBeArriving() const;
  // The last character read was an ETX: a check character may still be on its way.
  bool EndsWithEtx() const { return seen_ > 0 && last_ == etx_; }

  bool SohSeen() const { return sohAt_ != 0; }
  // Position of the first ETX after the SOH, counted from the SOH as 1; 0 when none came.
  size_t EtxPosition() const { return etxAt_; }
  // The check character, or a lost NUL one, fits: everything after the SOH cancels out. With
  // exactly one character after the ETX, that is the check equal to the exclusive-or of what
  // came from the SOH up to the ETX.
  bool CheckFits() const;
  // The characters between the SOH and the ETX (cut as told above).
  const std::string& Text() const { return text_; }
  // What is kept: SOH, the text, ETX and the character after it, as far as they came.
  std::string Kept() const;

 private:
  char soh_, etx_, enqChar_;
  size_t seen_ = 0;  // characters read
  char last_ = 0;    // the last of them
  bool enq_ = false;
  size_t firstEtx_ = 0;  // position of the first ETX of all, from 1; 0 none
  size_t sohAt_ = 0;     // position of the first SOH, from 1; 0 none
  size_t etxAt_ = 0;     // see EtxPosition
  std::string text_;
  size_t afterEtx_ = 0;       // characters after the ETX that follows the SOH
  char check_ = 0;            // the first of them
  unsigned char xorAll_ = 0;  // all characters after the SOH
};

}  // namespace telvaro3
