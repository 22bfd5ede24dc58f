// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The high and low limits: which texts count as numbers, the Pass/Fail rule,
// the key filter of the two limit boxes and the delayed check that puts back
// the last accepted text.

#include <optional>
#include <string>
#include <string_view>

#include "decode/decoder_host.h"

namespace dmm {

inline constexpr std::string_view kStartHighLimit = "6000";
inline constexpr std::string_view kStartLowLimit = "-6000";

// The number a limit or value text holds, converted with the decimal
// separator; nullopt when it fails to convert or gives exactly -999999 (the
// conversion's default, which counts as no number).
std::optional<double> LimitNumber(std::string_view text, std::string_view decimalSep);
inline bool IsNumber(std::string_view text, std::string_view decimalSep) {
    return LimitNumber(text, decimalSep).has_value();
}

// The verdict for a value text against the limit texts; nullopt when either
// limit is not a number (no verdict is made). A value that is not a number
// (the overload texts) fails. No check that low <= high.
std::optional<Verdict> Judge(std::string_view valueText, std::string_view highText,
                             std::string_view lowText, std::string_view decimalSep);

// "pass" or "Fail", the verdict's text in the reading table.
std::string_view JudgeTextOf(Verdict verdict);

enum class KeyAction {
    Accept,   // the key goes in
    Discard,  // the key becomes the null character: nothing is inserted
    Cancel,   // the key press is cancelled silently
};

// The key filter of T1HI and T1LO. sepText is the separator box's text (the
// locale's separator), decimalSep the separator itself.
KeyAction LimitKeyPress(char32_t key, std::string_view boxText, std::string_view sepText,
                        std::string_view decimalSep);

// The delayed check, 1000 ms after the last change of a limit box. Returns
// the text the box must hold (the last accepted one when the box does not
// hold a number) and stores it as the last accepted text.
std::string LimitDelayedCheck(std::string_view boxText, std::string& lastGood,
                              std::string_view decimalSep);

}  // namespace dmm
