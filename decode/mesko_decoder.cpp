// SPDX-License-Identifier: GPL-3.0-or-later
// Mesko frame, as FrameText: 14 hex digits, the low four bits of the bytes
// whose high four bits count 1..E. The meter sends the segments of its LCD,
// not a value; bits are b3 (8) .. b0 (1).
//   1      b3 AC, b2 DC, b1 auto range, b0 the RS-232 marks
//   2..9   digit n (1..4): segments b3..b0 of char 2n+1, then b2..b0 of char 2n;
//          char 2 b3 is the minus sign, chars 4, 6, 8 b3 the points after
//          digits 1, 2, 3
//   10     b3 micro, b2 nano, b1 kilo, b0 diode
//   11     b3 milli, b2 percent, b1 mega, b0 the LCDFm symbol
//   12     b3 farad, b2 ohm, b1 Rec mark, b0 Hold mark
//   13     b3 ampere, b2 volt, b1 frequency (Hz), b0 battery
//   14     b0 temperature (degrees Celsius)

#include "decode/decoder_steps.h"
#include "decode/decoders.h"

namespace dmm {
namespace {

// Seven-segment codes: the four bits of the high character and the low three
// bits of the low character of a digit.
struct SegmentCode {
    unsigned code;
    std::string_view digit;
};
constexpr SegmentCode kSegmentCodes[] = {
    {0b1101111, "0"}, {0b0101000, "1"}, {0b1011101, "2"}, {0b1111001, "3"}, {0b0111010, "4"},
    {0b1110011, "5"}, {0b1110111, "6"}, {0b0101001, "7"}, {0b1111111, "8"}, {0b1111011, "9"},
};
// The overload letter; only digit 3 can show it.
constexpr unsigned kOverloadCode = 0b1000110;

// Digit n (1..4); blank for a code the meter does not use.
std::string_view SegmentDigit(std::string_view frame, size_t n) {
    const unsigned code = unsigned(NibbleAt(frame, 2 * n + 1)) << 3 | (NibbleAt(frame, 2 * n) & 7);
    for (const SegmentCode& s : kSegmentCodes) {
        if (s.code == code)
            return s.digit;
    }
    return n == 3 && code == kOverloadCode ? "@" : "";
}

// Annunciator bits of chars 10 to 13, in the order they are applied; a unit
// letter, where there is one, is appended to UnitText.
struct Annunciator {
    size_t pos;
    int mask;
    El element;
    char unit;
};
constexpr Annunciator kAnnunciators[] = {
    {10, 8, El::LCDu, 'u'},   {10, 4, El::LCDn, 'n'}, {10, 2, El::LCDk, 'k'},
    {10, 1, El::LCDDI, 0},    {11, 8, El::Lcdm, 'm'}, {11, 4, El::LCDBF, '%'},
    {11, 2, El::LCDM1, 'M'},  {11, 1, El::LCDFm, 0},  {12, 8, El::LCDF, 'F'},
    {12, 4, El::LCDohm, '*'}, {12, 2, El::LCDRec, 0}, {12, 1, El::LCDHold, 0},
    {13, 8, El::LCDA, 'A'},   {13, 4, El::LcdV, 'V'}, {13, 1, El::LCDBATT, 0},
};

// The value axis of a frequency display, whatever the model's count.
constexpr double kFrequencyAxis = 5000;

}  // namespace

void LcdDisplayMesko(MeterState& state, DecoderHost& host) {
    LcdState& lcd = state.Lcd;
    CurrentReading& reading = state.Reading;
    const std::string& frame = state.FrameText;
    const auto bit = [&frame](size_t pos, int mask) { return BitSet(frame, pos, mask); };

    // 1. Link alive.
    MarkLinkAlive(state);

    // 2. Digits from their segments.
    const DigitTexts d = {SegmentDigit(frame, 1), SegmentDigit(frame, 2), SegmentDigit(frame, 3),
                          SegmentDigit(frame, 4)};

    // 3. Start the reading afresh.
    reading.FunctionText.clear();
    reading.AutoText.clear();
    reading.UnitText.clear();

    // 4. Sign and points.
    const std::string_view sign = ShowSign(lcd, bit(2, 8));
    const PointTexts p = ShowPoints(state, {bit(4, 8), bit(6, 8), bit(8, 8)});

    // 5. Coupling, range mode and the link marks.
    ShowCoupling(state, bit(1, 8), bit(1, 4));
    ShowRangeMode(state, bit(1, 2));
    ShowLinkMarks(lcd, bit(1, 1));

    // 6. Annunciators; the prefix bits come first, so "mV", "k*", "uF".
    for (const Annunciator& a : kAnnunciators) {
        const bool on = bit(a.pos, a.mask);
        lcd.setVisible(a.element, on);
        if (on && a.unit != 0)
            reading.UnitText += a.unit;
    }

    // 7. Temperature and frequency. The meter ranges frequency by itself.
    const bool frequency = bit(13, 2);
    if (bit(14, 1) && !frequency) {
        lcd.show(El::LCDCS);
        reading.FunctionText.clear();
        reading.UnitText = "#";
    } else {
        lcd.hide(El::LCDCS);
    }
    if (frequency) {
        lcd.hide(El::LCDCS);
        lcd.show(El::LCDHz);
        reading.UnitText += "Hz";
        reading.AutoText = "AUTO";
    } else {
        lcd.hide(El::LCDHz);
    }

    // 8. Value axis.
    const double axis = frequency ? kFrequencyAxis : double(state.Scale.AxisRange);
    host.SetValueAxis(-axis, axis);

    // 9. Value text.
    reading.ValueText = JoinValueText(sign, d, p);

    // 10. Numeric value: a "0" before the overload letter reads full scale.
    const bool overload = d[1] == "0" && d[2] == "@";
    if (overload) {
        reading.ReadingValue =
            sign.empty() ? state.Scale.AxisRange : -double(state.Scale.AxisRange);
    } else {
        reading.ReadingValue = DisplayCount(sign, d);
    }
    reading.ChartValue = reading.ReadingValue;

    // 11. Alarm beep.
    BeepBeyondCount(state, host);

    // 12. Scale tracking.
    TrackScale(state, host, LitPointIndex(lcd), float(state.Scale.AxisRange));

    // 13. Digit captions.
    ShowDigits(lcd, d);

    // The time stamp: a recall clock that runs moves on at every frame,
    // so rows recorded by it are evenly spaced for this family too.
    reading.ReadingTime = host.AdvanceRecallClock();

    // 14. Recording, whatever the sampling mode.
    host.INDataToTable(0);

    // 15. Bar graph.
    host.SetBarPosition(overload ? state.Model.BarFull : BarFromLeadingDigits(d[0], d[1]));
}

}  // namespace dmm
