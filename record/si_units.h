// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A reading in the units a machine reads: the value as a plain decimal
// number in the base unit, and one spelling per quantity, whatever the
// locale and whatever letters the meter's LCD uses.
//
// The meter's unit texts are the LCD's symbol letters: an optional prefix
// (n, u, m, k, M), then "V", "A", "*" (ohm), "F", "Hz", "#" (degrees
// Celsius), "?" (degrees Fahrenheit), "%" (duty cycle), "RPM"; the diode
// function shows ")V" (its forward voltage, in volts) and the continuity
// function "&*" (the resistance of the path, in ohms).

#include <optional>
#include <string>
#include <string_view>

namespace dmm {

struct SiReading {
    // The value in the base unit as a JSON and CSV number ("0.0012345"), or
    // nothing for an overload, a blank display or a unit without a number.
    std::optional<std::string> value;
    // "V", "A", "Ω", "F", "Hz", "°C", "°F", "%", "rpm"; empty when the unit
    // text names no quantity.
    std::string unit;
};

// valueText is the display's text with the locale's decimal separator
// (decimalSep) and "L" for an overload.
SiReading ToSi(std::string_view valueText, std::string_view unitText, std::string_view decimalSep);

}  // namespace dmm
