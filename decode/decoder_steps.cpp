// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decoder_steps.h"

#include "decode/decoders.h"
#include "decode/text_rules.h"

namespace dmm {
namespace {
constexpr El kPoints[3] = {El::LcdP1, El::LcdP2, El::LcdP3};
constexpr El kDigits[4] = {El::LcdDa, El::LcdDb, El::LcdDc, El::LcdDd};
}  // namespace

int NibbleAt(std::string_view text, size_t pos) {
    const std::string_view c = CharAt(text, pos);
    const int v = c.empty() ? -1 : HexValue(c[0]);
    return v < 0 ? 0 : v;
}

std::string_view ShowSign(LcdState& lcd, bool minus) {
    lcd.setVisible(El::LcdFH, minus);
    return minus ? "-" : "";
}

PointTexts ShowPoints(MeterState& state, const std::array<bool, 3>& lit) {
    PointTexts p;
    for (size_t i = 0; i < 3; ++i) {
        state.Lcd.setVisible(kPoints[i], lit[i]);
        if (lit[i])
            p[i] = state.DecimalSep;
    }
    return p;
}

void ShowCoupling(MeterState& state, bool ac, bool dc) {
    state.Lcd.setVisible(El::LcdAC, ac);
    if (ac)
        state.Reading.FunctionText = "AC";
    if (dc)
        state.Reading.FunctionText = "DC";
}

void ShowRangeMode(MeterState& state, bool autoRange) {
    state.Lcd.setVisible(El::LcdAuto, autoRange);
    state.Reading.AutoText = autoRange ? "AUTO" : "MANU";
}

void ShowLinkMarks(LcdState& lcd, bool shown) {
    lcd.setVisible(El::LCDRS, shown);
    lcd.setVisible(El::LCD232C, shown);
}

std::string JoinValueText(std::string_view sign, const DigitTexts& d, const PointTexts& p) {
    std::string text(sign);
    for (size_t i = 0; i < 4; ++i) {
        text += i == 2 && d[i] == "@" ? std::string_view("L") : d[i];
        if (i < 3)
            text += p[i];
    }
    return text;
}

double DisplayCount(std::string_view sign, const DigitTexts& d) {
    std::string digits(sign);
    for (std::string_view digit : d)
        digits += digit;
    return StrToInt(digits);
}

void BeepBeyondCount(const MeterState& state, DecoderHost& host) {
    const double v = state.Reading.ReadingValue;
    if (v > state.Model.CountCeiling || v < state.Model.CountFloor)
        host.Beep();
}

int LitPointIndex(const LcdState& lcd) {
    int index = 0;
    for (int i = 0; i < 3; ++i) {
        if (lcd.visible(kPoints[i]))
            index = i + 1;
    }
    return index;
}

void TrackScale(MeterState& state, DecoderHost& host, int pointIndex, float bound) {
    ScaleTracking& scale = state.Scale;
    const CurrentReading& reading = state.Reading;
    if (reading.UnitText == scale.LastUnitText && pointIndex == scale.LastPointIndex) {
        if (reading.ReadingValue >= scale.MaxValue) {
            scale.MaxString = reading.ValueText;
            scale.MaxValue = float(reading.ReadingValue);
        }
        if (reading.ReadingValue <= scale.MinValue) {
            scale.MinString = reading.ValueText;
            scale.MinValue = float(reading.ReadingValue);
        }
    } else {
        host.ShowSeries(host.BtFillChecked() ? 0 : 1);
        scale.LastUnitText = reading.UnitText;
        scale.MaxValue = -bound;
        scale.MinValue = bound;
    }
    scale.LastPointIndex = pointIndex;
    ShowMinMax(state);
}

void ShowDigits(LcdState& lcd, const DigitTexts& d) {
    for (size_t i = 0; i < 4; ++i)
        lcd.setCaption(kDigits[i], d[i]);
}

void MarkLinkAlive(MeterState& state) {
    state.Lcd.show(El::CONok);
    state.Lcd.hide(El::CONokN);
    state.NoFrameTicks = 0;
}

void ShowMinMax(MeterState& state) {
    state.Lcd.setCaption(El::MaxText, state.Scale.MaxString);
    state.Lcd.setCaption(El::MinText, state.Scale.MinString);
    state.Lcd.setCaption(El::MaxTextU, state.Reading.UnitText);
    state.Lcd.setCaption(El::MinTextU, state.Reading.UnitText);
}

int BarFromLeadingDigits(std::string_view d1, std::string_view d2) {
    std::string n(d1);
    n += d2;
    const int32_t v = StrToInt(n);
    return v >= 2 ? v : 1;
}

}  // namespace dmm
