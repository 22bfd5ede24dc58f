// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/reading_log.h"

#include <climits>
#include <cmath>

#include "decode/date_time.h"
#include "decode/text_rules.h"

namespace dmm {
namespace {

int32_t WholeCount(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= double(INT32_MAX))
        return INT32_MAX;
    if (v <= double(INT32_MIN))
        return INT32_MIN;
    return int32_t(std::lround(v));
}

int32_t Next(int32_t n) {
    return int32_t(uint32_t(n) + 1u);
}  // wraps like the meter's count

}  // namespace

bool ReadingLog::INDataToTable(const CurrentReading& reading, bool repeatSet, bool recallCheck) {
    if (RecordLimit <= RecordedCount)
        return false;

    key_.assign(reading.ValueText);
    key_ += reading.FunctionText;
    key_ += reading.UnitText;
    key_ += reading.AutoText;
    bool recorded = false;
    if (repeatSet || key_ != LastRecordKey) {
        const double when = recallCheck ? reading.ReadingTime : (clock_ ? clock_() : NowDateTime());
        const std::string time = FormatHms(when, timeSep_);
        table_.appendRecorded(ReadingNo, time, reading.FunctionText, reading.ValueText,
                              reading.UnitText, reading.JudgeText,
                              WholeCount(reading.ReadingValue));
        LastRecordKey.swap(key_);
        RecordedCount = Next(RecordedCount);
        recorded = true;
    }
    ReadingNo = Next(ReadingNo);
    return recorded;
}

void ReadingLog::Clear() {
    table_.clear();
    ReadingNo = 1;
    RecordedCount = 0;
}

SamplingInterval SamplingIntervalFromText(std::string_view text) {
    const auto seconds = TryStrToInt(text);
    if (!seconds || *seconds <= 0)
        return {"1", 1000};
    const int64_t ms = int64_t(*seconds) * 1000;
    return {std::string(text), ms > INT_MAX ? INT_MAX : int(ms)};
}

bool DigitKeyAccepted(char32_t key) {
    return key == 8 || (key >= U'0' && key <= U'9');
}

}  // namespace dmm
