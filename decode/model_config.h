// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start-up's model configuration: which meter family is decoded, the window
// caption, and the scales (full count, bar for overload, beep bounds) that the
// decoders, the chart and the bar graph use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <QString>

#include "decode/meter_state.h"

namespace dmm {

struct ModelRow {
    std::string_view code;
    int32_t count;        // full scale; AxisRange until a decoder replaces it
    int32_t barFull;      // bar position for an overload reading
    bool setsMinMaxText;  // the row writes the MIN/MAX captions
    int pbarMaximum;      // 0: the bar keeps its design maximum
};

std::optional<ModelRow> FindModelRow(std::string_view code);

// Applies a row of the model table to the shared state: AxisRange, BarFull,
// the beep bounds, the start of the highest and lowest reading and, where the
// row says so, the MIN/MAX captions.
void ApplyModelRow(MeterState& state, const ModelRow& row);

inline constexpr int kPBar2DesignMaximum = 40;
inline constexpr std::string_view kDesignCaption = "TARVOMETR";
inline constexpr std::string_view kProgramCaption = "TarvoMeter Interface Program Ver: 3.00";

struct StartupResult {
    Family family = Family::Tarvo;
    bool serialHandlerWired = false;  // the serial driver delivers to the Tarvo handler
    std::string caption;              // window caption
    int pbarMaximum = kPBar2DesignMaximum;
    double axisMinimum = 0;  // the chart's value axis
    double axisMaximum = 0;
};

// The model steps of start-up on a fresh state. ifDralin is the configuration
// switch of the window design (checked in the built configuration).
StartupResult ApplyStartup(MeterState& state, bool ifDralin, std::string_view decimalSep,
                           double now);

// Start-up on a fresh state for a chosen meter family: its serial handler is
// wired, the caption is the program's, and the family's row of the model
// table and first digit apply.
StartupResult ApplyFamilyStartup(MeterState& state, Family family, std::string_view decimalSep,
                                 double now);

// The decimal separator of the system's default locale as text.
std::string SystemDecimalSep();
// The system's time separator: ':' or '.', whichever the locale writes
// between hours and minutes, else ':'.
char SystemTimeSep();
// The same from a time format such as "HH:mm:ss".
char TimeSepFromFormat(const QString& format);

}  // namespace dmm
