#include "base/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace telvaro3 {

double Val(const std::string& text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  // Blanks, tabs and line feeds count for nothing, wherever they stand.
  std::string t;
  t.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n') t.push_back(c);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  size_t mantissaStart = i;
  while (i < t.size() && digit(t[i])) ++i;
  size_t intEnd = i;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && digit(t[i])) ++i;
  }
  size_t mantissaEnd = i;
  bool anyDigit = intEnd > mantissaStart || mantissaEnd > intEnd + 1;
  if (!anyDigit) return 0.0;
  std::string s = t.substr(mantissaStart, mantissaEnd - mantissaStart);
  if (s.back() == '.') s.pop_back();
  if (!s.empty() && s.front() == '.') s.insert(s.begin(), '0');
  if (i < t.size() && (t[i] == 'E' || t[i] == 'e')) {
    size_t j = i + 1;
    std::string exp = "e";
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) exp.push_back(t[j++]);
    size_t expDigits = j;
    while (j < t.size() && digit(t[j])) ++j;
    if (j > expDigits) {
      // Keep the exponent within what a double can say; beyond it the value is 0 or infinite.
      std::string digits = t.substr(expDigits, j - expDigits);
      size_t nz = digits.find_first_not_of('0');
      digits = nz == std::string::npos ? "0" : digits.substr(nz);
      if (digits.size() > 5) digits = "99999";
      s += exp + digits;
    }
  }
  double v = 0.0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow or underflow: decide by the exponent's sign.
    v = s.find("e-") != std::string::npos ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -v : v;
}

int64_t RoundHalfEven(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kMax = 9.2e18;
  if (v >= kMax) return static_cast<int64_t>(kMax);
  if (v <= -kMax) return -static_cast<int64_t>(kMax);
  return static_cast<int64_t>(std::nearbyint(v));  // the default rounding mode is half to even
}

// These three make a record's counter texts for every block, so they build the text in place.
std::string Str(int64_t n) {
  char buf[24] = {' '};
  const char* end = std::to_chars(buf + 1, buf + sizeof buf, n).ptr;
  const char* begin = n < 0 ? buf + 1 : buf;  // a blank stands where a minus sign would
  return std::string(begin, end);
}

// Both are written for every record: a plain loop over the few digits keeps them small.
std::string FiveDigits(int64_t n) {
  // Counts and serial numbers are never negative; one that were would show as none.
  if (n < 0) n = 0;
  char digits[5];
  for (char* d = digits + sizeof digits; d != digits; n /= 10)
    *--d = static_cast<char>('0' + n % 10);
  return std::string(digits, sizeof digits);
}

std::string PercentText(int64_t percent) {
  if (percent < 0 || percent > 999) return Str(percent).append(1, '%');
  char text[5];
  char* begin = text + sizeof text;
  *--begin = '%';
  do {
    *--begin = static_cast<char>('0' + percent % 10);
    percent /= 10;
  } while (percent > 0);
  *--begin = ' ';  // where a minus sign would stand
  return std::string(begin, text + sizeof text);
}

std::string UpperLatin1(const std::string& text) {
  std::string r = text;
  for (char& ch : r) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
      ch = static_cast<char>(c - 0x20);
  }
  return r;
}

std::string Utf8ToLatin1(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  auto cont = [&](size_t k) {
    return k < n && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80;
  };
  while (i < n) {
    auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
      cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
      cp = 0x800;  // any three-byte character lies outside Latin-1
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = 0x10000;
      len = 4;
    } else {
      // Not UTF-8: the byte is taken as the Latin-1 character it already is.
      r.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    r.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
    i += len;
  }
  return r;
}

std::string Latin1ToUtf8(const std::string& text) {
  std::string r;
  AppendLatin1AsUtf8(r, text);
  return r;
}

void AppendLatin1AsUtf8(std::string& out, std::string_view text) {
  // Plain ASCII, the usual text, goes over in runs.
  const auto high = [](char ch) { return static_cast<unsigned char>(ch) >= 0x80; };
  for (auto it = text.begin(); it != text.end();) {
    const auto next = std::find_if(it, text.end(), high);
    out.append(it, next);
    if (next == text.end()) break;
    const auto c = static_cast<unsigned char>(*next);
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    it = next + 1;
  }
}

std::string LTrim(const std::string& s) {
  size_t i = s.find_first_not_of(' ');
  return i == std::string::npos ? std::string() : s.substr(i);
}

std::string Trim(const std::string& s) {
  std::string r = LTrim(s);
  size_t j = r.find_last_not_of(' ');
  return j == std::string::npos ? std::string() : r.substr(0, j + 1);
}

}  // namespace telvaro3
