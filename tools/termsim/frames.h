// Blocks of the terminal's protocol: control characters, block check, heading and text blocks.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace termsim {

constexpr char kNul = 0x00;
constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kEot = 0x04;
constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

// Exclusive-or of all bytes: the block check of the span after SOH/STX up to and including ETX.
char XorOf(std::string_view bytes);

// Record length implied by a program file's extension (PD3 128, FN3/EX3 130, PD4 1024), or 0
// when the name is not a program file.
int ProgramRecordLength(std::string_view name);

// What a heading block announces.
struct Heading {
  std::string name;  // blanks trimmed
  long records = 0;
  std::vector<int> fields;  // empty for a program file
  bool program = false;
  int recordLength = 0;
};

// The text between SOH and ETX: name padded to 12, five-digit count, and for a data file the
// two-digit field count and two-digit lengths.
std::string HeadingText(const Heading& h);

// Checks and takes apart a received heading text; on failure returns nothing and says why.
std::optional<Heading> ParseHeadingText(std::string_view text, std::string& why);

// Opener, body, ETX and, with block checks on, the check byte.
std::string Frame(char opener, std::string_view body, bool blockCheck);

// Five-digit serial: the number's rightmost five digits with leading zeros.
std::string Serial5(long n);

// A text block for record `number` (1-based).
std::string TextBlock(long number, std::string_view record, bool serials, bool blockCheck);

// One line of the heading file: name=..., records=..., fields=a,b,... (or -), length=...
std::string HeadingSummary(const Heading& h);

}  // namespace termsim
