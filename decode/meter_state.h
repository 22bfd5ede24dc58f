// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The state that frame assembly, the three decoders, the reading log and the
// window share: the virtual LCD, the current reading, scale tracking and the
// model configuration. The window owns one; tests and dmmlog own theirs.

#include <cstdint>
#include <string>

#include "decode/lcd_state.h"

namespace dmm {

enum class Family { Tarvo, Mesko, Dralin };

// The reading of the last decoded frame.
struct CurrentReading {
    std::string ValueText;    // as displayed, with DecimalSep and "L" for overload
    double ReadingValue = 0;  // the signed display count
    // What the trend chart plots, in the units its value axis counts: for
    // Tarvo the reading as displayed (1.2345, the axis spanning the range's
    // full scale), for Mesko and Dralin the display count itself.
    double ChartValue = 0;
    std::string FunctionText;  // "DC", "AC", "OHM", ...
    std::string UnitText;      // prefix and unit in symbol letters ("k*", "mV", "#")
    std::string AutoText;      // "AUTO", "MANU" or empty
    std::string JudgeText;     // "pass", "Fail" or empty
    double ReadingTime = 0;    // days since 1899-12-30
};

// Highest and lowest reading since the last change of unit or point, and the
// full scale of the value axis.
struct ScaleTracking {
    int32_t AxisRange = 0;
    std::string LastUnitText;
    int32_t LastPointIndex = 0;
    float MaxValue = 0;
    float MinValue = 0;
    std::string MaxString;
    std::string MinString;
};

// The model's scales, fixed at start-up.
struct ModelConfig {
    std::string ModelCode;
    int32_t BarFull = 0;
    float CountCeiling = 0;
    float CountFloor = 0;
};

struct MeterState {
    LcdState Lcd;
    CurrentReading Reading;
    ScaleTracking Scale;
    ModelConfig Model;
    std::string DecimalSep;
    std::string FrameText;
    int32_t NoFrameTicks = 0;  // watchdog ticks since the last decoded frame
};

}  // namespace dmm
