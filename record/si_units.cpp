// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/si_units.h"

#include <array>
#include <cstddef>

namespace dmm {
namespace {

struct BaseUnit {
    std::string_view letters;  // as the meter shows them, after any prefix
    std::string_view si;
};
constexpr std::array<BaseUnit, 11> kBaseUnits{{
    {"V", "V"},
    {"A", "A"},
    {"*", "Ω"},
    {"F", "F"},
    {"Hz", "Hz"},
    {"#", "°C"},
    {"?", "°F"},
    {"%", "%"},
    {"RPM", "rpm"},
    {")V", "V"},  // diode: the forward voltage
    {"&*", "Ω"},  // continuity: the path's resistance
}};

// The power of ten of a prefix letter; 0 for none, nullopt for a letter that
// is not a prefix.
std::optional<int> PrefixExponent(char c) {
    switch (c) {
        case 'n':
            return -9;
        case 'u':
            return -6;
        case 'm':
            return -3;
        case 'k':
            return 3;
        case 'M':
            return 6;
        default:
            return std::nullopt;
    }
}

std::string_view BaseSi(std::string_view letters) {
    for (const BaseUnit& b : kBaseUnits) {
        if (b.letters == letters)
            return b.si;
    }
    return {};
}

// The digits of the value with the point moved by exponent places, as a
// plain decimal number without needless zeros; nothing when the text is not
// a number (an overload, a blank display).
std::optional<std::string> ScaledDecimal(std::string_view text, std::string_view decimalSep,
                                         int exponent) {
    bool negative = false;
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string digits;
    std::ptrdiff_t point = -1;  // digits before the point
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (point < 0 && !decimalSep.empty() &&
                   text.substr(i, decimalSep.size()) == decimalSep) {
            point = std::ptrdiff_t(digits.size());
            i += decimalSep.size() - 1;
        } else if (point < 0 && c == '.') {
            point = std::ptrdiff_t(digits.size());
        } else if (c != ' ') {
            return std::nullopt;  // "L" of an overload, or anything else
        }
    }
    if (digits.empty())
        return std::nullopt;
    if (point < 0)
        point = std::ptrdiff_t(digits.size());
    point += exponent;
    // Make room so that the point falls within or at the end of the digits.
    if (point <= 0) {
        digits.insert(0, size_t(1 - point), '0');
        point = 1;
    } else if (size_t(point) > digits.size()) {
        digits.append(size_t(point) - digits.size(), '0');
    }
    std::string whole = digits.substr(0, size_t(point));
    std::string fraction = digits.substr(size_t(point));
    const size_t firstNonZero = whole.find_first_not_of('0');
    whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    std::string out;
    if (negative && (whole != "0" || !fraction.empty()))
        out += '-';
    out += whole;
    if (!fraction.empty()) {
        out += '.';
        out += fraction;
    }
    return out;
}

}  // namespace

SiReading ToSi(std::string_view valueText, std::string_view unitText, std::string_view decimalSep) {
    SiReading out;
    int exponent = 0;
    std::string_view base = BaseSi(unitText);
    if (base.empty() && unitText.size() > 1) {
        if (const auto prefix = PrefixExponent(unitText.front())) {
            base = BaseSi(unitText.substr(1));
            exponent = *prefix;
        }
    }
    if (base.empty())
        return out;
    out.unit = std::string(base);
    out.value = ScaledDecimal(valueText, decimalSep, exponent);
    return out;
}

}  // namespace dmm
