// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading one journal line back into a table row. Two readers that must
// agree: a general one (any JSON object with the row's keys, through Qt's
// JSON parser) and a fast one for the lines the journal itself writes (keys
// in its order, whole numbers, ASCII texts with only the escapes it writes),
// which gives up on anything else so that the general one decides.

#include <optional>
#include <string>
#include <string_view>

#include "record/reading_table.h"

namespace dmm {

// The row, or nothing with the reason in why.
std::optional<RowData> ParseJournalRow(std::string_view line, std::string& why);
// The general reader alone.
std::optional<RowData> ParseJsonRow(std::string_view line, std::string& why);
// The fast reader alone: nothing when the line is not in the journal's own
// form (which need not make it a bad line).
std::optional<RowData> ParseOwnJournalRow(std::string_view line);

}  // namespace dmm
