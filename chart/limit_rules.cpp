#include "chart/limit_rules.h"

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

namespace {
std::string Utf8Of(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += char(cp);
    } else if (cp < 0x800) {
        s += char(0xC0 | (cp >> 6));
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += char(0xE0 | (cp >> 12));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else {
        s += char(0xF0 | (cp >> 18));
        s += char(0x80 | ((cp >> 12) & 0x3F));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    }
    return s;
}
}  // namespace

KeyAction LimitKeyPress(char32_t key, std::string_view boxText, std::string_view sepText,
                        std::string_view decimalSep) {
    const std::string_view sep = TrimControl(sepText);
    if (!sep.empty()) {
        const char32_t sepChar = FirstCodePoint(sep);
        // A second decimal separator cannot be typed.
        if (key == sepChar && boxText.find(Utf8Of(sepChar)) != std::string_view::npos) {
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
