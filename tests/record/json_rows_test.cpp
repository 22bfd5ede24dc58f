// JSON rows: the count is written as "%.15g" writes it, whole numbers
// included, so that dmmlog's rows stay as they always were.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "record/json_rows.h"

namespace dmm {
namespace {

TEST(JsonRows, CountsAreWrittenAsPrintfWritesThem) {
    for (double count : {0.0, -0.0, 12345.0, -7.0, 0.5, -1.25, 1e14, 1e15, 123456789012345678.0,
                         2147483648.0, 1.0 / 3}) {
        JsonRow json;
        json.count = count;
        std::string row;
        AppendJsonRow(row, json);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.15g", count);
        EXPECT_NE(row.find(std::string("\"count\":") + expected + "}\n"), std::string::npos) << row;
    }
}

}  // namespace
}  // namespace dmm
