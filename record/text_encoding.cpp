// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/text_encoding.h"

#include <cstdint>
#include <cstring>

#include "decode/text_rules.h"

namespace dmm {

bool IsValidUtf8(std::string_view s) {
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto e = p + s.size();
    while (p < e) {
        if (e - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const size_t len = Utf8SequenceLength(p, e);
        if (len == 0)
            return false;
        p += len;
    }
    return true;
}

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five codes it
// leaves unassigned are kept as the C1 controls of the same number, as the
// Windows conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

void Cp1252ToUtf8(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size() * 2);
    for (const char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else if (c < 0xA0) {
            AppendUtf8(out, kCp1252High[c - 0x80]);
        } else {
            AppendUtf8(out, c);
        }
    }
}

TextStart SniffTextStart(std::string_view head, std::string& why) {
    auto startsWith = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
    if (startsWith("\xFF\xFE"))
        return TextStart::Utf16Le;
    if (startsWith("\xFE\xFF"))
        return TextStart::Utf16Be;
    if (startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        why =
            "this is a binary spreadsheet file, not a text table: save it from the "
            "spreadsheet as tab-separated text";
        return TextStart::Refused;
    }
    if (startsWith("PK\x03\x04")) {
        why =
            "this is a zip archive (such as an .xlsx or .ods spreadsheet), not a text table: "
            "save it from the spreadsheet as tab-separated text";
        return TextStart::Refused;
    }
    return TextStart::Plain;
}

}  // namespace dmm
