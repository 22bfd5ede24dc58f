// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The reading log: turns decoded readings into rows of the reading table,
// under the capacity, the repeat switch and the numbering rules. The sampling
// timer lives in the window; its rules (the interval box) are here.

#include <cstdint>
#include <string>
#include <string_view>

#include "decode/meter_state.h"
#include "record/reading_table.h"

namespace dmm {

// The "Record" menu's capacity items.
struct CapacityItem {
    std::string_view name;     // menu item's design name
    std::string_view caption;  // menu text
    int32_t limit;             // RecordLimit it sets
};
inline constexpr CapacityItem kCapacityItems[] = {
    {"N10001", "1000", 1000},       {"N50001", "5000", 5000},
    {"N100001", "10000", 10000},    {"N500001", "50000", 50000},
    {"N1000001", "100000", 100000}, {"limitess", "limitless", 10000000},
};
inline constexpr int32_t kStartRecordLimit = 10000;

class ReadingLog {
  public:
    using Clock = double (*)();

    explicit ReadingLog(ReadingTable& table) : table_(table) {}

    int32_t ReadingNo = 1;      // number the next reading receives
    int32_t RecordedCount = 0;  // rows appended since start-up or the last clearing
    int32_t RecordLimit = kStartRecordLimit;
    std::string LastRecordKey;  // value, function, unit and range mode of the last row

    // Offers the current reading. Returns true when a row was appended: the
    // caller then hands ReadingValue to the chart. The row's time is the
    // reading's own time stamp (the recall clock) when recallCheck is set,
    // else the PC clock now.
    bool INDataToTable(const CurrentReading& reading, bool repeatSet, bool recallCheck);

    // True when the next reading would be turned away for the capacity.
    bool AtCapacity() const { return RecordLimit <= RecordedCount; }

    // Empties the table and restarts the numbering (after the user agreed).
    // The last key, the capacity and the sampling mode stay.
    void Clear();

    void setTimeSeparator(char sep) { timeSep_ = sep; }
    void setClock(Clock clock) { clock_ = clock; }  // for tests
    ReadingTable& table() { return table_; }

  private:
    ReadingTable& table_;
    std::string key_;
    char timeSep_ = ':';
    Clock clock_ = nullptr;
};

// The sampling interval box after a change: a text that is not a whole number
// of seconds, or 0 or less, becomes "1". The timer takes at most what fits
// its millisecond count.
struct SamplingInterval {
    std::string text;  // what the box must show
    int intervalMs;
};
SamplingInterval SamplingIntervalFromText(std::string_view text);

// The key filter of the interval, start-time, step and page-size boxes: the
// digits and backspace.
bool DigitKeyAccepted(char32_t key);

}  // namespace dmm
