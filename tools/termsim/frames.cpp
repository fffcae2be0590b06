#include "frames.h"

#include <algorithm>
#include <cctype>

namespace termsim {

namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Digits(long n, size_t width) {
  std::string s = std::string(width, '0') + std::to_string(n);
  return s.substr(s.size() - width);
}

// A fixed-width decimal field; only digits are accepted.
std::optional<long> ReadNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string Trim(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

char XorOf(std::string_view bytes) {
  unsigned char acc = 0;
  for (char c : bytes) acc ^= static_cast<unsigned char>(c);
  return static_cast<char>(acc);
}

int ProgramRecordLength(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return 0;
  std::string ext = Upper(name.substr(dot + 1));
  if (ext == "PD3") return 128;
  if (ext == "FN3" || ext == "EX3") return 130;
  if (ext == "PD4") return 1024;
  return 0;
}

std::string HeadingText(const Heading& h) {
  std::string text = (h.name + std::string(12, ' ')).substr(0, 12);
  text += Digits(h.records, 5);
  if (!h.program) {
    text += Digits(static_cast<long>(h.fields.size()), 2);
    for (int len : h.fields) text += Digits(len, 2);
  }
  return text;
}

std::optional<Heading> ParseHeadingText(std::string_view text, std::string& why) {
  if (text.size() < 17) {
    why = "heading text shorter than 17 characters";
    return std::nullopt;
  }
  Heading h;
  h.name = Trim(text.substr(0, 12));
  if (h.name.empty()) {
    why = "empty file name";
    return std::nullopt;
  }
  auto records = ReadNumber(text.substr(12, 5));
  if (!records) {
    why = "record count is not a number";
    return std::nullopt;
  }
  h.records = *records;
  h.recordLength = ProgramRecordLength(h.name);
  h.program = h.recordLength > 0;
  if (h.program) {
    if (text.size() != 17) {
      why = "program file heading must be 17 characters";
      return std::nullopt;
    }
    return h;
  }
  if (text.size() < 21) {
    why = "data file heading shorter than 21 characters";
    return std::nullopt;
  }
  auto count = ReadNumber(text.substr(17, 2));
  if (!count || *count < 1 || *count > 16) {
    why = "field count not in 01..16";
    return std::nullopt;
  }
  if (text.size() != 19 + 2 * static_cast<size_t>(*count)) {
    why = "heading length does not match the field count";
    return std::nullopt;
  }
  for (long i = 0; i < *count; ++i) {
    auto len = ReadNumber(text.substr(19 + 2 * static_cast<size_t>(i), 2));
    if (!len || *len < 1) {
      why = "field length not in 01..99";
      return std::nullopt;
    }
    h.fields.push_back(static_cast<int>(*len));
    h.recordLength += static_cast<int>(*len);
  }
  if (*count + h.recordLength > 255) {
    why = "record too long";
    return std::nullopt;
  }
  return h;
}

std::string Frame(char opener, std::string_view body, bool blockCheck) {
  std::string block(1, opener);
  block += body;
  block += kEtx;
  if (blockCheck) block += XorOf(block.substr(1));
  return block;
}

std::string Serial5(long n) {
  return Digits(n, 5);
}

std::string TextBlock(long number, std::string_view record, bool serials, bool blockCheck) {
  std::string body = serials ? Serial5(number) : std::string();
  body += record;
  return Frame(kStx, body, blockCheck);
}

std::string HeadingSummary(const Heading& h) {
  std::string line = "name=" + h.name + " records=" + std::to_string(h.records) + " fields=";
  if (h.fields.empty()) line += "-";
  for (size_t i = 0; i < h.fields.size(); ++i) {
    if (i) line += ',';
    line += std::to_string(h.fields[i]);
  }
  line += " length=" + std::to_string(h.recordLength);
  return line;
}

}  // namespace termsim
