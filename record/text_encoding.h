// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The character sets of the data files. Texts are held as UTF-8; a text
// table line that is not valid UTF-8 was written in a Windows code page and is
// read as Windows-1252, and a text table that starts with a byte-order mark is
// UTF-16. The first bytes of a file also tell a spreadsheet's own binary or
// zipped form, which is no text table at all.

#include <cstddef>
#include <string>
#include <string_view>

namespace dmm {

// Length of the valid UTF-8 sequence starting at p (a non-ASCII lead byte),
// or 0 when the bytes there are not one. Overlong forms, surrogates and code
// points beyond U+10FFFF are invalid.
inline size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* e) {
    const unsigned c = p[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (size_t(e - p) < len)
        return 0;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    }
    return len;
}

// Whether the whole of s is valid UTF-8.
bool IsValidUtf8(std::string_view s);

// in read as Windows-1252, into out as UTF-8 (out is replaced).
void Cp1252ToUtf8(std::string_view in, std::string& out);

// What the first bytes of a text table's file say about it.
enum class TextStart { Plain, Utf16Le, Utf16Be, Refused };
constexpr size_t kSniffBytes = 8;

// The start of a text table's file (at least kSniffBytes of it, or all of a
// shorter file); why says what the file is when it is refused.
TextStart SniffTextStart(std::string_view head, std::string& why);

}  // namespace dmm
