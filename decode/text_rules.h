// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Small text rules shared by the decoders, the reading log and the data files.
// Frames and readings travel as texts: bytes become hexadecimal digits, fields
// are taken by 1-based character position, and a position beyond the end of a
// text gives an empty text rather than an error.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dmm {

// A text that had to be a decimal integer was not one. The message is the one
// the user sees in the error box.
class ConversionError : public std::runtime_error {
  public:
    explicit ConversionError(const std::string& message) : std::runtime_error(message) {}
};

// "'%s' is not a valid integer value" for the offending text.
ConversionError NotAnInteger(std::string_view text);

// The decimal integer that text holds (an optional sign, then digits, within
// 32 bits); anything else throws ConversionError.
int32_t StrToInt(std::string_view text);

// The same without throwing.
std::optional<int32_t> TryStrToInt(std::string_view text);

// Character pos (1-based) of text as a text of one character, or empty.
inline std::string_view CharAt(std::string_view text, size_t pos) {
    return pos >= 1 && pos <= text.size() ? text.substr(pos - 1, 1) : std::string_view();
}

// Up to len characters of text from 1-based position pos.
inline std::string_view Mid(std::string_view text, size_t pos, size_t len) {
    if (pos < 1 || pos > text.size())
        return {};
    return text.substr(pos - 1, len);
}

// Upper-case hexadecimal digit of a value 0..15.
inline char HexDigit(unsigned v) {
    return "0123456789ABCDEF"[v & 0xF];
}

// Value 0..15 of a hexadecimal digit character, or -1.
inline int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Converts text as a decimal number with the given decimal separator; nullopt
// when it is not one. Blanks around the number are allowed, as is an exponent.
std::optional<double> TextToFloat(std::string_view text, std::string_view decimalSep);

// Text with leading and trailing characters of code 0 to 32 removed.
std::string_view TrimControl(std::string_view text);

// Text cut to at most n characters (UTF-8 aware: a character is never split).
std::string_view CutToChars(std::string_view text, size_t n);

// Appends the UTF-8 encoding of a code point.
void AppendUtf8(std::string& out, char32_t cp);

// First code point of a UTF-8 text, or 0 when empty.
char32_t FirstCodePoint(std::string_view text);

}  // namespace dmm
