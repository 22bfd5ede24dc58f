// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/limit_rules.h"

#include "decode/text_rules.h"

namespace dmm {

std::optional<double> LimitNumber(std::string_view text, std::string_view decimalSep) {
    auto v = TextToFloat(text, decimalSep);
    if (!v || *v == -999999.0)
        return std::nullopt;
    return v;
}

std::optional<Verdict> Judge(std::string_view valueText, std::string_view highText,
                             std::string_view lowText, std::string_view decimalSep) {
    const auto hi = LimitNumber(highText, decimalSep);
    const auto lo = LimitNumber(lowText, decimalSep);
    if (!hi || !lo)
        return std::nullopt;
    const auto v = LimitNumber(valueText, decimalSep);
    if (!v)
        return Verdict::Fail;
    return *lo <= *v && *v <= *hi ? Verdict::Pass : Verdict::Fail;
}

std::string_view JudgeTextOf(Verdict verdict) {
    return verdict == Verdict::Pass ? "pass" : "Fail";
}

KeyAction LimitKeyPress(char32_t key, std::string_view boxText, std::string_view sepText,
                        std::string_view decimalSep) {
    const std::string_view sep = TrimControl(sepText);
    if (!sep.empty()) {
        const char32_t sepChar = FirstCodePoint(sep);
        // A second decimal separator cannot be typed.
        std::string encoded;
        AppendUtf8(encoded, sepChar);
        if (key == sepChar && boxText.find(encoded) != std::string_view::npos) {
            return KeyAction::Cancel;
        }
    }
    switch (key) {
        case 8:
        case U'\'':
        case U'+':
        case U'-':
        case U'`':
            return KeyAction::Accept;
        default:
            break;
    }
    if (key >= U'0' && key <= U'9')
        return KeyAction::Accept;
    if (!decimalSep.empty() && key == FirstCodePoint(decimalSep))
        return KeyAction::Accept;
    return KeyAction::Discard;
}

std::string LimitDelayedCheck(std::string_view boxText, std::string& lastGood,
                              std::string_view decimalSep) {
    std::string text(boxText);
    if (!IsNumber(text, decimalSep))
        text = lastGood;
    lastGood = text;
    return text;
}

}  // namespace dmm
