// SPDX-License-Identifier: GPL-3.0-or-later
// Dralin frame, as FrameText: 11 hex digits, the low four bits of each byte;
// bits are b3 (8) .. b0 (1).
//   1      "A", the 0x0A that ended the previous frame
//   2      range code, decimal where the function depends on it
//   3..6   digits d1..d4, most significant first
//   7      function: B volt, D microampere, 9 milliampere, F ampere, 3 ohm,
//          2 frequency or rotation speed, 4 temperature, 5 the LCDFm symbol
//          with ohm, 1 diode, 6 capacitance; any other code shows no unit
//   8      b3 variant (rotation speed instead of frequency, Celsius instead of
//          Fahrenheit), b2 minus sign, b1 battery, b0 overload
//   9      option; chars 8 and 9 reading "01" force a frequency display
//   10     b3 DC, b2 AC, b1 auto range, b0 clear: the RS-232 marks on
//   11     "D", the 0x0D that ends the frame

#include <span>

#include "decode/decoder_steps.h"
#include "decode/decoders.h"
#include "decode/text_rules.h"

namespace dmm {
namespace {

// What a function and range put on the display: the point after digit 1..3
// (0: none), the prefix letter (0: none) and the unit text.
struct RangeEntry {
    int point;
    char prefix;
    std::string_view unit;
};

// Per range code; the last entry also serves every higher code.
constexpr RangeEntry kVoltage[] = {
    {3, 'm', "mV"}, {1, 0, "V"}, {2, 0, "V"}, {3, 0, "V"}, {0, 0, "V"}};
constexpr RangeEntry kMicroampere[] = {{3, 'u', "uA"}, {0, 'u', "uA"}};
constexpr RangeEntry kMilliampere[] = {{2, 'm', "mA"}, {3, 'm', "mA"}, {0, 'm', "mA"}};
constexpr RangeEntry kResistance[] = {{3, 0, "*"},    {1, 'k', "k*"}, {2, 'k', "k*"},
                                      {3, 'k', "k*"}, {1, 'M', "M*"}, {2, 'M', "M*"},
                                      {0, 0, "*"}};
constexpr RangeEntry kFrequency[] = {{1, 'k', "kHz"}, {2, 'k', "kHz"}, {3, 'k', "kHz"},
                                     {1, 'M', "MHz"}, {2, 'M', "MHz"}, {3, 'M', "MHz"},
                                     {0, 0, ""}};
constexpr RangeEntry kRotation[] = {{2, 'k', "kRPM"}, {3, 'k', "kRPM"}, {1, 'M', "MRPM"},
                                    {2, 'M', "MRPM"}, {3, 'M', "MRPM"}, {0, 'M', "MRPM"},
                                    {0, 0, ""}};
constexpr RangeEntry kCapacitance[] = {{1, 'n', "nF"}, {2, 'n', "nF"}, {3, 'n', "nF"},
                                       {1, 'u', "uF"}, {2, 'u', "uF"}, {3, 'u', "uF"},
                                       {1, 'm', "mF"}, {2, 'm', "mF"}, {0, 0, ""}};
// Without the configuration switch a frequency in range 0 reads plain hertz.
constexpr RangeEntry kPlainHertz = {0, 0, "Hz"};
// Frequency ranges that the option code forces; higher codes keep the unit.
constexpr size_t kForcedFrequencyRanges = 6;

const RangeEntry& ByRange(std::span<const RangeEntry> rows, int32_t r) {
    return r >= 0 && size_t(r) < rows.size() ? rows[size_t(r)] : rows.back();
}

// Point, prefix and ampere flags of one frame, all clear at its start.
struct Flags {
    int point = 0;
    char prefix = 0;
    bool ampere = false;
};

void Apply(const RangeEntry& entry, Flags& flags, CurrentReading& reading) {
    flags.point = entry.point;
    flags.prefix = entry.prefix;
    reading.UnitText = entry.unit;
}

constexpr struct {
    char prefix;
    El element;
} kPrefixes[] = {
    {'k', El::LCDk}, {'M', El::LCDM1}, {'m', El::Lcdm}, {'u', El::LCDu}, {'n', El::LCDn}};

// The leading zeros the display blanks, by the point flags: digits 1..4.
std::array<bool, 4> VisibleDigits(const DigitTexts& d, int point, bool overload) {
    std::array<bool, 4> shown = {true, true, true, true};
    if (point == 0) {
        if (d[0] == "0" && d[1] == "0" && d[2] == "0") {
            shown[0] = shown[1] = shown[2] = false;
        } else if (d[0] == "0" && d[1] == "0") {
            shown[0] = shown[1] = false;
        } else if (d[0] == "0") {
            shown[0] = false;
        }
    }
    if (point == 2 && d[0] == "0")
        shown[0] = false;
    if (point == 3) {
        if (d[0] == "0" && d[1] == "0")
            shown[0] = shown[1] = false;
        if (d[0] == "0")
            shown[0] = false;
    }
    if (overload)
        shown[0] = shown[3] = false;
    return shown;
}

constexpr El kDigits[4] = {El::LcdDa, El::LcdDb, El::LcdDc, El::LcdDd};

// Bar position of a diode overload, the open junction.
constexpr int kDiodeOverloadBar = 25;

}  // namespace

void LcdDisplayDralin(MeterState& state, DecoderHost& host) {
    LcdState& lcd = state.Lcd;
    CurrentReading& reading = state.Reading;
    const std::string& frame = state.FrameText;
    const auto bit = [&frame](size_t pos, int mask) { return BitSet(frame, pos, mask); };
    const auto range = [&frame] { return StrToInt(CharAt(frame, 2)); };

    // 1. Link alive.
    MarkLinkAlive(state);

    // 2. Digits; an overload shows "0" and the overload letter in digits 2, 3.
    const bool overload = bit(8, 1);
    DigitTexts d = {CharAt(frame, 3), CharAt(frame, 4), CharAt(frame, 5), CharAt(frame, 6)};
    if (overload) {
        d[2] = "@";
        d[1] = "0";
    }

    // 3. Start the reading afresh.
    reading.FunctionText.clear();
    reading.AutoText.clear();
    reading.UnitText.clear();

    // 4. Status and mode bits.
    const std::string_view sign = ShowSign(lcd, bit(8, 4));
    lcd.setVisible(El::LCDBATT, bit(8, 2));
    ShowCoupling(state, bit(10, 4), bit(10, 8));
    lcd.setVisible(El::LcdDc1, bit(10, 8));
    ShowRangeMode(state, bit(10, 2));
    ShowLinkMarks(lcd, !bit(10, 1));

    // 5. Flags start clear.
    Flags flags;

    // 6. Function elements, one code after the other; the range code is read
    // only by the functions that depend on it.
    const std::string_view codeText = CharAt(frame, 7);
    const char code = codeText.empty() ? 0 : codeText[0];
    const bool variant = bit(8, 8);

    lcd.setVisible(El::LcdV, code == 'B');
    if (code == 'B')
        Apply(ByRange(kVoltage, range()), flags, reading);
    if (code == 'D') {
        Apply(ByRange(kMicroampere, range()), flags, reading);
        flags.ampere = true;
    }
    if (code == '9') {
        Apply(ByRange(kMilliampere, range()), flags, reading);
        flags.ampere = true;
    }
    if (code == 'F') {
        flags.point = 2;
        flags.ampere = true;
        reading.UnitText = "A";
    }
    lcd.setVisible(El::LCDohm, code == '3');
    if (code == '3')
        Apply(ByRange(kResistance, range()), flags, reading);
    lcd.setVisible(El::LCDHz, code == '2' && !variant);
    lcd.setVisible(El::LcdRPM, code == '2' && variant);
    if (code == '2') {
        const int32_t r = range();
        if (variant) {
            Apply(ByRange(kRotation, r), flags, reading);
        } else if (r == 0 && !host.IFDralinChecked()) {
            Apply(kPlainHertz, flags, reading);
        } else {
            Apply(ByRange(kFrequency, r), flags, reading);
        }
    }
    lcd.setVisible(El::LCDCS, code == '4' && variant);
    lcd.setVisible(El::LCDFS, code == '4' && !variant);
    if (code == '4')
        reading.UnitText = variant ? "#" : "?";
    lcd.setVisible(El::LCDFm, code == '5');
    if (code == '5') {
        // The point 3 flag blanks leading zeros as for point 3; the point
        // itself stays dark (step 9).
        flags.point = 3;
        reading.UnitText = "&";
    }
    lcd.setVisible(El::LCDDI, code == '1');
    if (code == '1') {
        lcd.show(El::LcdV);
        flags.point = 1;
        reading.UnitText = ")";
    }
    lcd.setVisible(El::LCDF, code == '6');
    if (code == '6')
        Apply(ByRange(kCapacitance, range()), flags, reading);

    // 7. Option "01": a frequency display whatever the function.
    if (CharAt(frame, 8) == "0" && CharAt(frame, 9) == "1") {
        flags = Flags();
        lcd.hide(El::LcdV);
        lcd.show(El::LCDHz);
        lcd.hide(El::LcdRPM);
        const int32_t r = range();
        if (r >= 0 && size_t(r) < kForcedFrequencyRanges)
            Apply(kFrequency[r], flags, reading);
    }

    // 8. Apply the flags.
    PointTexts p = ShowPoints(state, {flags.point == 1, flags.point == 2, flags.point == 3});
    for (const auto& prefix : kPrefixes)
        lcd.setVisible(prefix.element, flags.prefix == prefix.prefix);
    lcd.setVisible(El::LCDA, flags.ampere);

    // 9. The diode and the LCDFm symbol take the place of the last digit.
    if (lcd.visible(El::LCDDI)) {
        d[3] = "";
        reading.UnitText += "V";
    }
    if (lcd.visible(El::LCDFm)) {
        d[3] = "";
        p[2] = "";
        lcd.hide(El::LcdP3);
        reading.UnitText += "*";
        lcd.show(El::LCDohm);
    }

    // 10. Value text; an overload shows no first and last digit. Leading
    // zeros stay in the text even where the display blanks them.
    reading.ValueText = JoinValueText(sign, overload ? DigitTexts{"", d[1], d[2], ""} : d, p);

    // 11. Numeric value: an overload reads one beyond full scale.
    const double beyondFull = double(state.Scale.AxisRange) + 1;
    if (d[2] == "@") {
        reading.ReadingValue = sign.empty() ? beyondFull : -beyondFull;
    } else {
        reading.ReadingValue = DisplayCount(sign, d);
    }
    reading.ChartValue = reading.ReadingValue;

    // 12. Leading-zero blanking.
    const std::array<bool, 4> shown = VisibleDigits(d, flags.point, overload);
    for (size_t i = 0; i < 4; ++i)
        lcd.setVisible(kDigits[i], shown[i]);

    // 13. Alarm beep.
    BeepBeyondCount(state, host);

    // 14. Scale tracking.
    TrackScale(state, host, LitPointIndex(lcd), float(beyondFull));

    // 15. Digit captions.
    ShowDigits(lcd, d);

    // The time stamp: a recall clock that runs moves on at every frame,
    // so rows recorded by it are evenly spaced for this family too.
    reading.ReadingTime = host.AdvanceRecallClock();

    // 16. Recording, whatever the sampling mode.
    host.INDataToTable(0);

    // 17. Bar graph; a diode overload has its own mark.
    if (d[2] == "@") {
        host.SetBarPosition(code == '1' ? kDiodeOverloadBar : state.Model.BarFull);
    } else {
        host.SetBarPosition(BarFromLeadingDigits(d[0], d[1]));
    }
}

}  // namespace dmm
