#pragma once

// Blocks as the terminal builds them, written independently of the program's own framing.

#include <string>

namespace telvaro3::test {

inline const std::string ENQ = "\x05", ACK = "\x06", NAK = "\x15", EOT = "\x04";

// The exclusive-or of every byte, as a one-character string.
inline std::string Xor(const std::string& s) {
  unsigned char x = 0;
  for (char c : s) x ^= static_cast<unsigned char>(c);
  return std::string(1, static_cast<char>(x));
}

// Opening character, body and ETX, then (with bcc) the check over body and ETX.
inline std::string Frame(char open, const std::string& body, bool bcc = true) {
  const std::string covered = body + "\x03";
  return std::string(1, open) + covered + (bcc ? Xor(covered) : "");
}

}  // namespace telvaro3::test
