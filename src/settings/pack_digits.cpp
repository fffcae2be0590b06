#include "settings/procedures.h"

namespace telvaro3 {

std::string PackDigits(const std::string& digits) {
  for (char c : digits)
    if (c < '0' || c > '9') return "ERROR";
  const std::string even = digits.size() % 2 == 1 ? "0" + digits : digits;
  std::string packed;
  packed.reserve(even.size() / 2);
  // Two digits make one character: 100 plus the pair's value, 100 to 199.
  for (size_t i = 0; i < even.size(); i += 2)
    packed.push_back(static_cast<char>(100 + (even[i] - '0') * 10 + (even[i + 1] - '0')));
  return packed;
}

}  // namespace telvaro3
