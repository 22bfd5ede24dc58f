#pragma once
// Rows as JSON lines, one object per line, for machines: dmmlog's
// `--format json` and the recording journal write the same keys in the same
// order (no, time, function, value, unit, auto, judge, count), the journal
// adding its timestamp. Texts are written as they are (UTF-8), with quotes,
// backslashes and control characters escaped; an absent field is null.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dmm {

struct JsonRow {
    std::optional<int32_t> no;
    std::optional<std::string_view> time, function, value, unit, autoText, judge;
    std::optional<double> count;
};

// Appends the text as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view text);

// Appends one row and its line end. A non-empty timestamp is written last,
// under "timestamp".
void AppendJsonRow(std::string& out, const JsonRow& row, std::string_view timestamp = {});

}  // namespace dmm
