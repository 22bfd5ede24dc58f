// SPDX-License-Identifier: GPL-3.0-or-later
// Tarvo frame, as FrameText (one hex digit per byte, the byte's low four bits):
//   1..5  digits D0 Da Db Dc Dd, most significant first
//         1 = "A": overload; 4 = "B": all zeros; 5 = "A": last digit blank
//   6     range (decimal)
//   7     function code 0..F
//   8     coupling (decimal): 1 AC, 2 DC, 3 AC+DC, 0 from the function
//   9     status (decimal): 8 ignored, 4 minus sign, remainder 1 auto range
//   10,11 "DA", the line end 0x0D 0x0A

#include <array>

#include "decode/decoder_steps.h"
#include "decode/decoders.h"
#include "decode/limit_rules.h"
#include "decode/text_rules.h"

namespace dmm {
namespace {

constexpr int kNoPoint = -1;  // function/range pairs that place no point

struct RangeRow {
    int point;     // kNoPoint: none
    int32_t axis;  // 0: AxisRange unchanged
    char prefix;   // 0, 'k', 'M', 'm', 'u', 'n'
};

struct FunctionRow {
    std::array<El, 2> shown;  // El::LcdD0 marks an unused slot
    std::string_view unit;
    bool anyRange;                   // the same entry for every range
    std::array<RangeRow, 8> ranges;  // by range 0..7; axis 0 and point -1 past the end
};

constexpr RangeRow kUnset{kNoPoint, 0, 0};
constexpr El kNone = El::LcdD0;

// Function table: what each function code shows, and per range the point,
// the full scale and the prefix.
constexpr FunctionRow kFunctions[16] = {
    /*0*/ {{kNone, kNone}, "", true, {{{kNoPoint, 200, 0}}}},
    /*1*/
    {{El::LcdV, kNone},
     "V",
     false,
     {{kUnset, {0, 2, 0}, {1, 20, 0}, {2, 200, 0}, {3, 1000, 0}, kUnset, kUnset, kUnset}}},
    /*2*/
    {{El::LcdV, kNone},
     "V",
     false,
     {{kUnset, {0, 2, 0}, {1, 20, 0}, {2, 200, 0}, {3, 1000, 0}, kUnset, kUnset, kUnset}}},
    /*3*/ {{El::LcdV, El::Lcdm}, "mV", true, {{{2, 200, 0}}}},
    /*4*/
    {{El::LCDohm, kNone},
     "*",
     false,
     {{kUnset,
       {2, 200, 0},
       {0, 2, 'k'},
       {1, 20, 'k'},
       {2, 200, 'k'},
       {0, 2, 'M'},
       {1, 20, 'M'},
       kUnset}}},
    /*5*/
    {{El::LCDF, kNone},
     "F",
     false,
     {{kUnset,
       {1, 20, 'n'},
       {2, 200, 'n'},
       {0, 2, 'u'},
       {1, 20, 'u'},
       {2, 200, 'u'},
       {0, 2, 'm'},
       {1, 20, 'm'}}}},
    /*6*/ {{El::LCDCS, kNone}, "#", true, {{{3, 1000, 0}}}},
    /*7*/
    {{El::LCDA, kNone},
     "A",
     false,
     {{{2, 200, 'u'}, {3, 2000, 'u'}, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset}}},
    /*8*/
    {{El::LCDA, kNone},
     "A",
     false,
     {{{1, 20, 'm'}, {2, 200, 'm'}, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset}}},
    /*9*/ {{El::LCDA, kNone}, "A", true, {{{1, 10, 0}}}},
    /*10*/ {{El::LCDFm, El::LCDohm}, "*", true, {{{2, 1000, 0}}}},
    /*11*/ {{El::LCDDI, El::LcdV}, "V", true, {{{0, 20, 0}}}},
    /*12*/
    {{El::LCDHz, kNone},
     "Hz",
     false,
     {{{1, 20, 0},
       {2, 200, 0},
       {0, 2, 'k'},
       {1, 20, 'k'},
       {2, 200, 'k'},
       {0, 2, 'M'},
       {1, 20, 'M'},
       {2, 200, 'M'}}}},
    /*13*/ {{El::LCDFS, kNone}, "?", true, {{{3, 1832, 0}}}},
    /*14*/ {{El::lcdW, kNone}, "W", true, {{{3, 200, 0}}}},
    /*15*/ {{El::LCDBF, kNone}, "mA%", true, {{{2, 200, 0}}}},
};

El PrefixElement(char prefix) {
    switch (prefix) {
        case 'k':
            return El::LCDk;
        case 'M':
            return El::LCDM1;
        case 'm':
            return El::Lcdm;
        case 'u':
            return El::LCDu;
        default:
            return El::LCDn;
    }
}

constexpr El kDigitElements[5] = {El::LcdD0, El::LcdDa, El::LcdDb, El::LcdDc, El::LcdDd};
constexpr El kPointElements[4] = {El::LcdP0, El::LcdP1, El::LcdP2, El::LcdP3};
constexpr El kFunctionElements[] = {
    El::LcdV,  El::Lcdm, El::LCDohm, El::LCDk,  El::LCDM1, El::LCDF,  El::LCDn,  El::LCDu,
    El::LCDCS, El::LCDA, El::LCDHz,  El::LCDBF, El::LCDFm, El::LCDDI, El::LCDFS, El::lcdW};
constexpr El kCouplingElements[] = {El::LcdAC, El::LCDJa, El::LcdDc1, El::LCDTRMST, El::LCDTRMS};

// FunctionText for coupling 0, by function code.
constexpr std::string_view kFunctionNames[16] = {
    "DC",  "DC",    "",          "DC",          "OHM", "CAP", "Temperature", "DC", "DC", "DC",
    "OHM", "Diode", "Frequency", "Temperature", "",    ""};

// The reading as displayed: the count divided by ten for every digit shown
// after the lit point. An overload already reads the range's full scale.
double ChartValueOf(double count, const std::string_view (&d)[5], int pointIndex,
                    std::string_view overloadKey) {
    if (overloadKey.find('@') != std::string_view::npos || pointIndex < 0)
        return count;
    double scaled = count;
    for (size_t i = size_t(pointIndex) + 1; i < 5; ++i) {
        if (!d[i].empty())
            scaled /= 10;
    }
    return scaled;
}

}  // namespace

void LcdDisplayTarvo(MeterState& state, DecoderHost& host) {
    LcdState& lcd = state.Lcd;
    CurrentReading& reading = state.Reading;
    ScaleTracking& scale = state.Scale;
    const std::string& frame = state.FrameText;

    // 1. Link alive.
    MarkLinkAlive(state);

    // 2. Digits.
    std::string_view d[5];  // D0 Da Db Dc Dd
    if (Mid(frame, 10, 2) == "DA") {
        if (CharAt(frame, 1) == "A") {
            if (CharAt(frame, 2) == "C") {
                d[2] = "@";
                d[3] = "0";
            } else {
                d[2] = "0";
                d[3] = "@";
            }
        } else if (CharAt(frame, 4) == "B") {
            for (auto& digit : d)
                digit = "0";
        } else {
            for (size_t i = 0; i < 4; ++i)
                d[i] = CharAt(frame, i + 1);
            if (CharAt(frame, 5) != "A")
                d[4] = CharAt(frame, 5);
        }
    }

    // 3. Digit captions.
    lcd.setCaption(El::USBtxt, frame);
    for (size_t i = 0; i < 5; ++i)
        lcd.setCaption(kDigitElements[i], d[i]);

    // 4. Start the reading afresh.
    reading.FunctionText.clear();
    reading.AutoText.clear();
    reading.UnitText.clear();
    for (El e : kFunctionElements)
        lcd.hide(e);

    // 5. Function and range.
    const int32_t r = StrToInt(CharAt(frame, 6));
    const std::string_view codeText = CharAt(frame, 7);
    const int code = codeText.empty() ? -1 : HexValue(codeText[0]);
    if (code < 0)
        throw NotAnInteger(codeText);
    const FunctionRow& fn = kFunctions[code];
    for (El e : fn.shown) {
        if (e != kNone)
            lcd.show(e);
    }
    const RangeRow range =
        fn.anyRange ? fn.ranges[0] : (r >= 0 && r < 8 ? fn.ranges[size_t(r)] : kUnset);
    int pointIndex = range.point;
    if (range.axis != 0)
        scale.AxisRange = range.axis;
    if (range.prefix != 0) {
        lcd.show(PrefixElement(range.prefix));
        reading.UnitText += range.prefix;
    }
    reading.UnitText += fn.unit;

    // 6. Value axis.
    host.SetValueAxis(-double(scale.AxisRange), double(scale.AxisRange));

    // 7. Coupling.
    const int32_t c = StrToInt(CharAt(frame, 8));
    for (El e : kCouplingElements)
        lcd.hide(e);
    reading.FunctionText.clear();
    switch (c) {
        case 1:
            lcd.show(El::LcdAC);
            lcd.show(El::LCDTRMST);
            lcd.show(El::LCDTRMS);
            reading.FunctionText = "AC";
            break;
        case 2:
            lcd.show(El::LcdDc1);
            reading.FunctionText = "DC";
            break;
        case 3:
            for (El e : kCouplingElements)
                lcd.show(e);
            reading.FunctionText = "AC+DC";
            break;
        case 0:
            reading.FunctionText = kFunctionNames[code];
            break;
        default:
            break;
    }

    // 8. Status: sign and auto range; a negative frequency is a duty cycle.
    int32_t s = StrToInt(CharAt(frame, 9));
    std::string_view signText;
    if (s >= 8)
        s -= 8;
    if (s >= 4) {
        s -= 4;
        signText = "-";
        lcd.show(El::LcdFH);
    } else {
        lcd.hide(El::LcdFH);
    }
    if (s == 1) {
        lcd.show(El::LcdAuto);
        reading.AutoText = "AUTO";
    } else {
        lcd.hide(El::LcdAuto);
    }
    if (lcd.visible(El::LCDHz) && lcd.visible(El::LcdFH)) {
        lcd.hide(El::LCDk);
        lcd.hide(El::LCDM1);
        lcd.hide(El::LCDHz);
        lcd.hide(El::LcdFH);
        lcd.show(El::LCDBF);
        signText = {};
        reading.UnitText = "%";
        pointIndex = 2;
    }

    // 9. Decimal point and value text.
    if (d[2] == "@" && d[3] == "0")
        pointIndex = 3;
    std::string_view p[4];
    for (El e : kPointElements)
        lcd.hide(e);
    if (pointIndex >= 0) {
        lcd.show(kPointElements[pointIndex]);
        p[pointIndex] = state.DecimalSep;
    }
    std::string& value = reading.ValueText;
    value.clear();
    if (d[3] == "@") {
        for (std::string_view part :
             {signText, d[0], p[0], d[1], p[1], d[2], p[2], std::string_view("L"), p[3], d[4]}) {
            value += part;
        }
    } else if (d[2] == "@") {
        value = "L0.";
    } else {
        for (std::string_view part :
             {signText, d[0], p[0], d[1], p[1], d[2], p[2], d[3], p[3], d[4]}) {
            value += part;
        }
    }

    // 10. Numeric value: the displayed digits without the point.
    std::string t(signText);
    t += d[2];
    t += d[3];
    if (t == "0@" || t == "@0") {
        reading.ReadingValue = scale.AxisRange;
    } else if (t == "-0@" || t == "-@0") {
        reading.ReadingValue = -double(scale.AxisRange);
    } else {
        std::string digits(signText);
        for (auto digit : d)
            digits += digit;
        reading.ReadingValue = StrToInt(digits);
    }
    reading.ChartValue = ChartValueOf(reading.ReadingValue, d, pointIndex, t);

    // 11. Scale tracking.
    if (reading.UnitText != scale.LastUnitText || pointIndex != scale.LastPointIndex) {
        host.ShowSeries(host.BtFillChecked() ? 0 : 1);
        scale.MaxValue = -float(scale.AxisRange);
        scale.MinValue = float(scale.AxisRange);
        scale.LastUnitText = reading.UnitText;
        scale.LastPointIndex = pointIndex;
    }
    if (reading.ReadingValue >= scale.MaxValue) {
        scale.MaxValue = float(reading.ReadingValue);
        scale.MaxString = reading.ValueText;
    }
    if (reading.ReadingValue <= scale.MinValue) {
        scale.MinValue = float(reading.ReadingValue);
        scale.MinString = reading.ValueText;
    }
    ShowMinMax(state);

    // 12. Measured value.
    host.SetMeasuredValue(reading.ValueText);

    // 13. Limit verdict.
    if (const auto verdict =
            Judge(reading.ValueText, host.T1HIText(), host.T1LOText(), state.DecimalSep)) {
        reading.JudgeText = JudgeTextOf(*verdict);
        host.ShowVerdict(*verdict);
    }

    // 14. Time stamp.
    reading.ReadingTime = host.AdvanceRecallClock();

    // 15. Recording.
    if (!host.RecordSIChecked())
        host.INDataToTable(0);

    // 16. Bar graph.
    std::string dbdc(d[2]);
    dbdc += d[3];
    int position;
    if (dbdc == "0@") {
        position = state.Model.BarFull;
    } else if (dbdc == "@0") {
        position = 1;
    } else {
        position = BarFromLeadingDigits(d[0], d[1]);
    }
    host.SetBarPosition(position);
}

}  // namespace dmm
