// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Rows for machines. JSON lines, one object per line: dmmlog's
// `--format json` and the recording journal write the same keys in the same
// order (no, time, function, value, unit, auto, judge, count), then the
// timestamp; dmmlog adds the value in the base unit (si_value, si_unit).
// Texts are written as they are (UTF-8), with quotes, backslashes and
// control characters escaped; an absent field is null. And CSV (RFC 4180)
// for spreadsheets: a header line, then one line per row.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record/si_units.h"

namespace dmm {

struct JsonRow {
    std::optional<int32_t> no;
    std::optional<std::string_view> time, function, value, unit, autoText, judge;
    std::optional<double> count;
    // When set, "si_value" and "si_unit" follow the timestamp.
    const SiReading* si = nullptr;
};

// The local date-time now as ISO 8601 with milliseconds and the UTC offset
// (2026-12-09T19:20:01.042+01:00). The date and the offset are worked out
// once a second.
class LocalTimestamp {
  public:
    static constexpr size_t kMostBytes = 80;
    // Writes into out (at least kMostBytes); returns the length.
    size_t format(char* out);
    std::string now();

  private:
    int64_t second_ = -1;
    char prefix_[40] = {};  // 2026-12-09T19:20:01
    char offset_[24] = {};  // +01:00
    size_t prefixSize_ = 0, offsetSize_ = 0;
};

// Appends the text as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view text);

// Appends one row and its line end. A non-empty timestamp is written last,
// under "timestamp".
void AppendJsonRow(std::string& out, const JsonRow& row, std::string_view timestamp = {});

// The CSV header line and one row: timestamp, no, function, value, unit,
// si_value, si_unit, range (the range mode text), verdict; lines end in
// CR LF, and a field holding a comma, a quote or a line break is quoted.
void AppendCsvHeader(std::string& out);
void AppendCsvRow(std::string& out, const JsonRow& row, std::string_view timestamp);

}  // namespace dmm
