// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The rows the journal tests record: row n holds n in every field that can
// show it, so that a row read back shows where it came from.

#include <string>

#include "record/reading_table.h"

namespace dmm::test {

inline RowData NumberedRow(int32_t n) {
    return RowData{.no = n,
                   .time = "12:00:" + std::to_string(n % 60),
                   .dcac = "DC",
                   .value = std::to_string(n) + ".5",
                   .unit = "V",
                   .judge = n % 2 ? "pass" : "Fail",
                   .nval = n * 10};
}

}  // namespace dmm::test
