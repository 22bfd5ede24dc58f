// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Steps that the decoders take alike. The Mesko and Dralin decoders both
// rebuild a four-digit display (LcdDa..LcdDd, with the points LcdP1..LcdP3
// after the first three digits) from status bits, read the reading off it,
// beep beyond the model's count and track the scale by unit text and lit
// point; all three mark the link alive and move the bar the same way.

#include <array>
#include <string>
#include <string_view>

#include "decode/decoder_host.h"
#include "decode/meter_state.h"

namespace dmm {

// The texts of the four digits, most significant first: one character each,
// or empty for a blank digit. "@" is the overload mark.
using DigitTexts = std::array<std::string_view, 4>;
// The texts after digits 1, 2 and 3: DecimalSep where the point is lit.
using PointTexts = std::array<std::string_view, 3>;

// The first step of every decoder: the link is alive.
void MarkLinkAlive(MeterState& state);

// Sets the MIN/MAX captions and their unit labels from scale tracking.
void ShowMinMax(MeterState& state);

// Value 0..15 of the hexadecimal digit at 1-based position pos of text; a
// missing or non-hexadecimal character counts as no bit set.
int NibbleAt(std::string_view text, size_t pos);

// Whether the bits of mask are set in the digit at 1-based position pos.
inline bool BitSet(std::string_view text, size_t pos, int mask) {
    return (NibbleAt(text, pos) & mask) != 0;
}

// The minus sign: shows or hides LcdFH and returns the sign text.
std::string_view ShowSign(LcdState& lcd, bool minus);

// Lights LcdP1..LcdP3 by lit[0..2]; a lit point's text is DecimalSep.
PointTexts ShowPoints(MeterState& state, const std::array<bool, 3>& lit);

// AC shows LcdAC and names the function "AC"; DC names it "DC", winning over AC.
void ShowCoupling(MeterState& state, bool ac, bool dc);

// LcdAuto with AutoText "AUTO", or hidden with "MANU".
void ShowRangeMode(MeterState& state, bool autoRange);

// The two serial-link marks LCDRS and LCD232C, always together.
void ShowLinkMarks(LcdState& lcd, bool shown);

// Sign, each digit and the point after it, in display order; the overload
// mark in digit 3 is written "L".
std::string JoinValueText(std::string_view sign, const DigitTexts& d, const PointTexts& p);

// The signed displayed digits read as one decimal integer, points left out
// ("-01.23" gives -123). Throws ConversionError when they are not one.
double DisplayCount(std::string_view sign, const DigitTexts& d);

// One beep when the reading lies beyond the model's count.
void BeepBeyondCount(const MeterState& state, DecoderHost& host);

// 0 when no point is lit, else the last lit of LcdP1..LcdP3 (1..3).
int LitPointIndex(const LcdState& lcd);

// Highest and lowest reading within one scale (unit text and point). A new
// scale reselects the chart series and restarts the extremes at -bound and
// +bound without comparing this reading. Ends with the MIN/MAX captions.
void TrackScale(MeterState& state, DecoderHost& host, int pointIndex, float bound);

// The captions of LcdDa..LcdDd.
void ShowDigits(LcdState& lcd, const DigitTexts& d);

// Bar position from the two leading digits: their value, at least 1.
// Throws ConversionError when they are not a decimal number (both blank).
int BarFromLeadingDigits(std::string_view d1, std::string_view d2);

}  // namespace dmm
