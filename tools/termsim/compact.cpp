#include "compact.h"

#include <algorithm>

namespace termsim {
namespace {

constexpr size_t kHead = 9, kMiddle = 16, kDigitsRoom = 18, kTailRoom = 8;
constexpr unsigned char kFirstPair = 100, kLastPair = 199;

// The digit pairs of packed characters; nothing when one of them is not a packed pair.
std::optional<std::string> DigitsOf(std::string_view packed) {
  std::string digits;
  for (char c : packed) {
    const auto code = static_cast<unsigned char>(c);
    if (code < kFirstPair || code > kLastPair) return std::nullopt;
    const int pair = code - kFirstPair;
    digits += static_cast<char>('0' + pair / 10);
    digits += static_cast<char>('0' + pair % 10);
  }
  return digits;
}

std::string PadRight(std::string_view s, size_t room) {
  std::string out(s);
  if (out.size() < room) out.append(room - out.size(), ' ');
  return out;
}

// Positions 1-18: packed characters, then blanks to fill the 9.
std::string Head(std::string_view head, UnpackedRecord& u) {
  const size_t blank = head.find(' ');
  const std::string_view packed = head.substr(0, blank);
  const bool blanksAfter = blank == std::string_view::npos ||
                           head.find_first_not_of(' ', blank) == std::string_view::npos;
  const auto digits = blanksAfter ? DigitsOf(packed) : std::nullopt;
  if (!digits || digits->size() > kDigitsRoom) {
    u.notPacked.push_back("positions 1-18");
    return PadRight(head, kDigitsRoom);
  }
  return std::string(kDigitsRoom - digits->size(), ' ') + *digits;
}

// Positions 35-39 (a 0 went in front of them) and, when the line reached them, 41-42.
std::string Tail(std::string_view tail, UnpackedRecord& u) {
  const bool both = tail.size() == 4;
  const std::string_view first = tail.substr(0, both ? 3 : tail.size());
  const auto digits = DigitsOf(first);
  if (!digits) {
    u.notPacked.push_back("positions 35-42");
    return PadRight(tail, both ? kTailRoom : tail.size());
  }
  std::string out = digits->substr(1);
  if (!both) return out;
  const auto last = DigitsOf(tail.substr(3));
  if (!last) u.notPacked.push_back("positions 41-42");
  return out + " " + (last ? *last : PadRight(tail.substr(3), 2));
}

}  // namespace

std::optional<UnpackedRecord> UnpackRecord(std::string_view data) {
  // The head and at least one tail character are always there.
  if (data.size() < kHead + 1 || data.size() > static_cast<size_t>(kCompactedLength))
    return std::nullopt;
  UnpackedRecord u;
  const size_t middle = std::min(kMiddle, data.size() - kHead - 1);
  u.line = Head(data.substr(0, kHead), u) + std::string(data.substr(kHead, middle));
  // A line that ended before position 35 left a tail of one packed 0 only: nothing of it.
  if (middle == kMiddle) u.line += Tail(data.substr(kHead + kMiddle), u);
  return u;
}

}  // namespace termsim
