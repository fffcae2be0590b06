#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvaro3 {

// Numeric value of a text: blanks, tabs and line feeds are skipped anywhere; the longest leading
// decimal number (sign, digits, point and digits, exponent) is read; no number gives 0.
double Val(const std::string& text);

// Nearest whole number, a half going to the even neighbour; held within the int64 range.
int64_t RoundHalfEven(double v);

// Decimal text behind one blank when not negative, behind the minus sign when negative.
std::string Str(int64_t n);

// The last five decimal digits of n, with leading zeros ("00042"); a negative n gives "00000".
std::string FiveDigits(int64_t n);

// A percentage as the window shows it: the number with its leading blank, then "%".
std::string PercentText(int64_t percent);

// Upper case of a Latin-1 text (a-z and the accented small letters).
std::string UpperLatin1(const std::string& text);

// UTF-8 to Latin-1; a character outside Latin-1 becomes '?', a byte that is not UTF-8 stays as
// it is. And back, for file names at the file boundary.
std::string Utf8ToLatin1(const std::string& text);
std::string Latin1ToUtf8(const std::string& text);
// Appends `text` (Latin-1) to `out` as UTF-8, as Latin1ToUtf8 converts it.
void AppendLatin1AsUtf8(std::string& out, std::string_view text);

// The text without leading / trailing blanks.
std::string LTrim(const std::string& s);
std::string Trim(const std::string& s);

}  // namespace telvaro3
