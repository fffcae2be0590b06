// The frames of the block protocol as bytes: how a heading block and a text block are laid out on
// the line, built and taken apart. Pure: no port, no clock, no Program. The dialogues on both
// sides build and read their blocks through it.
//
//   heading block  SOH  name(12) count(5) [fields(2) length(2) x fields]  ETX  [check]
//   text block     STX  [serial(5)] record(record length)                 ETX  [check]
//
// The check character is the exclusive-or of every character after SOH or STX up to and
// including ETX. The heading's numbers are decimal with leading zeros; the name is padded with
// blanks. A program file's heading has no field part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro3::frame {

inline constexpr char kSoh = '\x01';
inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';

inline constexpr size_t kNameWidth = 12;
inline constexpr size_t kCountWidth = 5;
inline constexpr size_t kNumberWidth = 2;  // the field count and each field length
inline constexpr size_t kSerialWidth = 5;
inline constexpr int kMostFields = 16;
// Heading text of a program file: name and record count, nothing else.
inline constexpr size_t kProgramHeadingLength = kNameWidth + kCountWidth;

// Heading text of a data file with `fields` fields.
constexpr size_t DataHeadingLength(int fields) {
  return kProgramHeadingLength + kNumberWidth * (1 + static_cast<size_t>(fields));
}
// The shortest heading text of a data file: one field.
inline constexpr size_t kShortestDataHeadingLength = DataHeadingLength(1);

// Exclusive-or of the codes of every character of `covered`.
char CheckCharacter(std::string_view covered);

// What a heading announces, in the terms the sending side holds them.
struct Heading {
  std::string name;                       // the terminal's file name, at most 12 characters
  int64_t recordCount = 0;                // 0 to 32767
  bool programFile = false;               // no field part
  std::vector<std::string> fieldLengths;  // decimal texts, in field order
};

// The heading text (between SOH and ETX): the name padded or cut to 12, the count in five digits,
// and for a data file the field count and each length in two (a longer number keeps its
// rightmost digits).
std::string HeadingText(const Heading& h);

// The fields of a received heading text where the layout puts them; a position beyond the end
// of the text reads as empty. Judging them is the receiving side's business.
class HeadingReader {
 public:
  explicit HeadingReader(std::string_view text) : text_(text) {}
  size_t Length() const { return text_.size(); }
  // The name without its leading and trailing blanks.
  std::string Name() const;
  std::string RecordCount() const { return Slice(kNameWidth, kCountWidth); }
  std::string FieldCount() const { return Slice(kProgramHeadingLength, kNumberWidth); }
  // Length of field i, counted from 1.
  std::string FieldLength(int i) const;

 private:
  std::string Slice(size_t from, size_t count) const;
  std::string_view text_;
};

// The shape of every text block of one transfer.
struct TextBlockLayout {
  size_t recordLength = 0;
  bool blockCheck = true;
  bool serialNumbers = true;
  size_t SerialWidth() const { return serialNumbers ? kSerialWidth : 0; }
  // Characters of a whole block, STX to the check character.
  size_t Length() const { return recordLength + 2 + (blockCheck ? 1 : 0) + SerialWidth(); }
  // Where its ETX stands, counting the STX as 1.
  size_t EtxPosition() const { return blockCheck ? Length() - 1 : Length(); }
};

// Appends to `block` what the check character of a text block covers: the serial (when the
// layout has serial numbers), the record as it is, and ETX. The block is STX, this, and the check
// character.
void AppendTextBlockBody(std::string& block, const TextBlockLayout& layout, std::string_view serial,
                         std::string_view record);

// What arrived for one text block, taken apart by the layout. Everything before the first STX is
// ignored. Judging the check character is the receiving side's business. The parts are views of
// the received text, good while it lives: a block is taken apart once for every record.
struct TextBlockParts {
  enum class Shape {
    kNone,          // no STX, or no ETX after it
    kMisplacedEtx,  // the first ETX is not where the layout puts it
    kWhole,         // exactly the layout's length
    kCheckLost,     // one character short with a block check: a NUL check character was lost
    kTooLong        // characters beyond the layout's length: the rest of the line is noise
  };
  Shape shape = Shape::kNone;
  // Everything after the STX, the check character included, as it came.
  std::string_view afterStx;
  std::string_view serial;  // empty without serial numbers
  std::string_view record;  // the record's characters, at most the record length
};
TextBlockParts SplitTextBlock(const TextBlockLayout& layout, std::string_view received);

}  // namespace telvaro3::frame
