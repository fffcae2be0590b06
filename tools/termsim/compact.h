// Compacted records (the PC's +CMP option): the terminal's side, which gets the digits back.
//
// The PC builds a compacted record from its line, padded to the record length, in three parts:
//   head    9 characters: positions 1-18 without their surrounding blanks, packed, then blanks;
//   middle  16 characters: positions 19-34 as they are;
//   tail    4 characters: a 0 and positions 35-39, packed, then positions 41-42, packed.
// Position 40 and everything after 42 are not sent. Packing puts two decimal digits in one
// character whose code is 100 plus their value (00 is 100, 99 is 199), with a 0 in front of an
// odd count. A part holding anything but digits arrives as the letters ERROR, cut to its room.
// A line shorter than 42 characters gives a shorter record: the middle stops where the line
// does, and the tail holds only what the line reached.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace termsim {

// Room of a record that every part of a compacted record fills; its compacted length.
constexpr int kCompactFullLength = 42;
constexpr int kCompactedLength = 29;

struct UnpackedRecord {
  // The line as far as it can be told again: positions 1-18 the head's digits, right-justified;
  // 19-34 the middle; 35-39 and 41-42 the tail's digits, 40 a blank. A part that was not
  // packed digits stands as received, padded with blanks to its room.
  std::string line;
  std::vector<std::string> notPacked;  // the parts kept as received, as "positions 1-18"
};

// Unpacks the data of one compacted text block (serial number, ETX and check byte taken off);
// nothing when it is too short to be one.
std::optional<UnpackedRecord> UnpackRecord(std::string_view data);

}  // namespace termsim
