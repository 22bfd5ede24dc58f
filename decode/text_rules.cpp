// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/text_rules.h"

#include <charconv>
#include <cstdlib>

namespace dmm {

ConversionError NotAnInteger(std::string_view text) {
    std::string msg;
    msg.reserve(text.size() + 34);
    msg += '\'';
    msg += text;
    msg += "' is not a valid integer value";
    return ConversionError(msg);
}

std::optional<int32_t> TryStrToInt(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size())
        return std::nullopt;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > int64_t(INT32_MAX) + 1)
            return std::nullopt;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return std::nullopt;
    return static_cast<int32_t>(v);
}

int32_t StrToInt(std::string_view text) {
    if (auto v = TryStrToInt(text))
        return *v;
    throw NotAnInteger(text);
}

std::optional<double> TextToFloat(std::string_view text, std::string_view decimalSep) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    size_t end = n;
    while (end > i && text[end - 1] == ' ')
        --end;
    std::string norm;
    norm.reserve(end - i);
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            norm += '-';
        ++i;
    }
    size_t digits = 0;
    bool point = false;
    while (i < end) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            norm += c;
            ++digits;
            ++i;
        } else if (!point && !decimalSep.empty() &&
                   text.substr(i, decimalSep.size()) == decimalSep) {
            norm += '.';
            point = true;
            i += decimalSep.size();
        } else {
            break;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < end && (text[i] == 'e' || text[i] == 'E')) {
        norm += 'e';
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-'))
            norm += text[i++];
        size_t expDigits = 0;
        while (i < end && text[i] >= '0' && text[i] <= '9') {
            norm += text[i++];
            ++expDigits;
        }
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != end)
        return std::nullopt;
    double v = 0;
    const auto res = std::from_chars(norm.data(), norm.data() + norm.size(), v);
    if (res.ec == std::errc::result_out_of_range) {
        // Beyond the range of a double: the platform's conversion would fail too.
        return std::nullopt;
    }
    if (res.ec != std::errc() || res.ptr != norm.data() + norm.size())
        return std::nullopt;
    return v;
}

std::string_view TrimControl(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32)
        --e;
    return text.substr(b, e - b);
}

std::string_view CutToChars(std::string_view text, size_t n) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) {
            if (chars == n)
                return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

char32_t FirstCodePoint(std::string_view text) {
    if (text.empty())
        return 0;
    const auto c0 = static_cast<unsigned char>(text[0]);
    int extra = 0;
    char32_t cp = c0;
    if (c0 >= 0xF0) {
        extra = 3;
        cp = c0 & 0x07;
    } else if (c0 >= 0xE0) {
        extra = 2;
        cp = c0 & 0x0F;
    } else if (c0 >= 0xC0) {
        extra = 1;
        cp = c0 & 0x1F;
    }
    for (int i = 1; i <= extra; ++i) {
        if (size_t(i) >= text.size())
            return c0;
        cp = (cp << 6) | (static_cast<unsigned char>(text[size_t(i)]) & 0x3F);
    }
    return cp;
}

}  // namespace dmm
