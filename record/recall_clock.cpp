// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/recall_clock.h"

#include <algorithm>

#include "decode/date_time.h"
#include "decode/text_rules.h"

namespace dmm {

std::array<std::string_view, 3> RecallClock::BoxTextsFor(bool switchedOn) {
    if (switchedOn)
        return {"00", "00", "00"};
    return {"23", "59", "59"};
}

void RecallClock::Load(std::string_view hours, std::string_view minutes, std::string_view seconds) {
    RecallHour = StrToInt(hours);
    RecallMinute = StrToInt(minutes);
    RecallSecond = StrToInt(seconds);
}

void RecallClock::TimeHKeyUp(const std::array<std::string_view, 3>& boxes,
                             const std::function<void(int box)>& inputError) {
    static constexpr int32_t kBounds[3] = {24, 60, 60};
    int32_t* fields[3] = {&RecallHour, &RecallMinute, &RecallSecond};
    for (int i = 0; i < 3; ++i) {
        const int32_t v = StrToInt(boxes[size_t(i)]);
        if (v >= kBounds[i]) {
            if (inputError)
                inputError(i);
        } else {
            *fields[i] = v;
        }
    }
}

namespace {

// One carry into a field: add 1, and when it passes its top, take off one
// round. Repeated n times in closed form, so that a step of days' worth of
// seconds costs no more than a step of one. Returns the carries passed on.
int64_t CarryInto(int64_t& field, int64_t n, int64_t top) {
    if (n <= 0)
        return 0;
    int64_t out = 0;
    // A field above its top (typed past the boxes' checks) loses top at each
    // carry that lands on it, until it is below the top.
    if (field >= top) {
        const int64_t needed = (field - top) / top + 1;
        const int64_t j = std::min(n, needed);
        field -= j * top;
        out += j;
        n -= j;
    }
    if (n <= 0)
        return out;
    if (field < 0) {
        const int64_t toZero = -field;
        if (n <= toZero) {
            field += n;
            return out;
        }
        n -= toZero;
        field = 0;
    }
    const int64_t total = field + n;
    out += total / (top + 1);
    field = total % (top + 1);
    return out;
}

}  // namespace

double RecallClock::Advance(bool switchedOn, std::string_view stepText, double now) {
    if (!switchedOn)
        return now;
    // An empty step box counts as a step of 0 rather than failing every frame.
    RecallStep = stepText.empty() ? 0 : StrToInt(stepText);

    int64_t second = int64_t(RecallSecond) + RecallStep;
    int64_t minute = RecallMinute;
    int64_t hour = RecallHour;
    int64_t minuteCarries = 0;
    if (second > 59) {
        minuteCarries = second / 60;
        second -= minuteCarries * 60;
    }
    const int64_t hourCarries = CarryInto(minute, minuteCarries, 59);
    if (hourCarries > 0) {
        // The hour never counts past 23: the carry that passes it lands on 0.
        hour = hour + 1 > 23 ? 0 : hour + 1;
        int64_t rest = hourCarries - 1;
        if (hour < 0) {
            const int64_t toZero = -hour;
            if (rest <= toZero) {
                hour += rest;
                rest = 0;
            } else {
                rest -= toZero;
                hour = 0;
            }
        }
        hour = rest > 0 ? (hour + rest) % 24 : hour;
    }
    RecallSecond = int32_t(second);
    RecallMinute = int32_t(minute);
    RecallHour = int32_t(hour);
    return TimeOfDayValue();
}

double RecallClock::TimeOfDayValue() const {
    if (RecallHour < 0 || RecallHour > 23 || RecallMinute < 0 || RecallMinute > 59 ||
        RecallSecond < 0 || RecallSecond > 59) {
        throw ConversionError("'" + std::to_string(RecallHour) + ":" +
                              std::to_string(RecallMinute) + ":" + std::to_string(RecallSecond) +
                              "' is not a valid time");
    }
    return TimeOfDay(RecallHour, RecallMinute, RecallSecond);
}

}  // namespace dmm
