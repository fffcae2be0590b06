#include "link/block_codec.h"

#include <algorithm>

namespace telvaro3::frame {
namespace {

// A number text behind zeros, cut to its rightmost `width` characters.
std::string Digits(const std::string& number, size_t width) {
  const std::string padded = std::string(width, '0') + number;
  return padded.substr(padded.size() - width);
}

std::string_view TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

char CheckCharacter(std::string_view covered) {
  unsigned char acc = 0;
  for (const char c : covered) acc ^= static_cast<unsigned char>(c);
  return static_cast<char>(acc);
}

std::string HeadingText(const Heading& h) {
  std::string text = (h.name + std::string(kNameWidth, ' ')).substr(0, kNameWidth);
  text += Digits(std::to_string(h.recordCount), kCountWidth);
  if (!h.programFile) {
    text += Digits(std::to_string(h.fieldLengths.size()), kNumberWidth);
    for (const std::string& length : h.fieldLengths) text += Digits(length, kNumberWidth);
  }
  return text;
}

std::string HeadingReader::Slice(size_t from, size_t count) const {
  if (from >= text_.size()) return "";
  return std::string(text_.substr(from, count));
}

std::string HeadingReader::Name() const {
  return std::string(TrimBlanks(text_.substr(0, std::min(kNameWidth, text_.size()))));
}

std::string HeadingReader::FieldLength(int i) const {
  if (i < 1) return "";
  return Slice(DataHeadingLength(i - 1), kNumberWidth);
}

void AppendTextBlockBody(std::string& block, const TextBlockLayout& layout, std::string_view serial,
                         std::string_view record) {
  if (layout.serialNumbers) block += serial;
  block += record;
  block += kEtx;
}

TextBlockParts SplitTextBlock(const TextBlockLayout& layout, std::string_view received) {
  using Shape = TextBlockParts::Shape;
  TextBlockParts parts;
  const size_t stx = received.find(kStx);
  if (stx == std::string_view::npos) return parts;
  const std::string_view block = received.substr(stx);
  const size_t etx = block.find(kEtx);
  if (etx == std::string_view::npos) return parts;
  parts.afterStx = block.substr(1);
  if (etx + 1 != layout.EtxPosition()) {
    parts.shape = Shape::kMisplacedEtx;
    return parts;
  }
  if (block.size() == layout.Length()) {
    parts.shape = Shape::kWhole;
  } else if (block.size() + 1 == layout.Length() && layout.blockCheck) {
    parts.shape = Shape::kCheckLost;
  } else {
    parts.shape = Shape::kTooLong;
    return parts;
  }
  const std::string_view body = block.substr(1, etx - 1);
  parts.serial = body.substr(0, layout.SerialWidth());
  parts.record = body.substr(std::min(layout.SerialWidth(), body.size()), layout.recordLength);
  return parts;
}

}  // namespace telvaro3::frame
