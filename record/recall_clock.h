// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recall clock: a software clock that stamps rows with evenly spaced times
// that follow the frames, not the wall clock. It starts from the time typed
// into the start-time boxes and advances by the step box at every decoded
// frame, wrapping at midnight.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace dmm {

class RecallClock {
  public:
    int32_t RecallHour = 0;
    int32_t RecallMinute = 0;
    int32_t RecallSecond = 0;
    int32_t RecallStep = 0;

    // The start-time boxes (hours, minutes, seconds) as the switch leaves them.
    static std::array<std::string_view, 3> BoxTextsFor(bool switchedOn);

    // Loads the clock from the three boxes, without range checks. A box that
    // is not a whole number throws ConversionError; the boxes before it are
    // loaded.
    void Load(std::string_view hours, std::string_view minutes, std::string_view seconds);

    // A key was released in one of the boxes: each box in turn is checked
    // against its bound (24, 60, 60); a box at or above it calls inputError
    // with its index (the window says "Input error!" and puts "00" into the
    // box) and leaves the clock's field alone; otherwise the field takes the
    // number. A box that is not a number throws and stops the pass.
    void TimeHKeyUp(const std::array<std::string_view, 3>& boxes,
                    const std::function<void(int box)>& inputError);

    // The advance step at a decoded frame. Off: the PC clock's now. On: the
    // step is read from stepText (empty counts as 0), the clock advances and
    // its time of day is returned.
    double Advance(bool switchedOn, std::string_view stepText, double now);

    // The clock's time of day; throws ConversionError when a field lies
    // outside a day (possible only with a start time that bypassed the boxes'
    // checks).
    double TimeOfDayValue() const;
};

}  // namespace dmm
