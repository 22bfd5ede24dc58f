// SPDX-License-Identifier: GPL-3.0-or-later
// Rows for machines: JSON counts as "%.15g" writes them (so that dmmlog's
// rows stay as they always were), values in base units, CSV quoting.

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
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

// The value in the base unit is a plain decimal number, whatever the
// locale's separator and the LCD's prefix and symbol letters; a display
// without a number gives none.
TEST(SiReadings, ValuesMoveToTheBaseUnit) {
    struct Case {
        const char* value;
        const char* unit;
        const char* sep;
        std::optional<std::string> si;
        const char* siUnit;
    };
    const Case cases[] = {
        {"1.2345", "mV", ".", "0.0012345", "V"},
        {"09,451", "k*", ",", "9451", "Ω"},
        {"-0.0045", "uA", ".", "-0.0000000045", "A"},
        {"1.000", "MHz", ".", "1000000", "Hz"},
        {"22.5", "#", ".", "22.5", "°C"},
        {"0.512", ")V", ".", "0.512", "V"},
        {"12.3", "&*", ".", "12.3", "Ω"},
        {"0.L", "M*", ".", std::nullopt, "Ω"},
        {"-0.000", "V", ".", "0", "V"},
        {"", "V", ".", std::nullopt, "V"},
        {"1.5", "mA%", ".", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + c.unit);
        const SiReading si = ToSi(c.value, c.unit, c.sep);
        EXPECT_EQ(si.value, c.si);
        EXPECT_EQ(si.unit, c.siUnit);
    }
}

// CSV fields with a comma or a quote are quoted; absent values stay empty.
TEST(CsvRows, FieldsFollowTheHeaderAndAreQuotedWhenNeeded) {
    const SiReading si = ToSi("09,451", "V", ",");
    const JsonRow row{.no = 7,
                      .time = std::nullopt,
                      .function = std::string_view("DC"),
                      .value = std::string_view("09,451"),
                      .unit = std::string_view("V"),
                      .autoText = std::string_view("AUTO"),
                      .judge = std::string_view("say \"hi\""),
                      .count = std::nullopt,
                      .si = &si};
    std::string out;
    AppendCsvHeader(out);
    AppendCsvRow(out, row, "2026-12-09T10:00:00.000+01:00");
    EXPECT_EQ(
        out,
        "timestamp,no,function,value,unit,si_value,si_unit,range,verdict\r\n"
        "2026-12-09T10:00:00.000+01:00,7,DC,\"09,451\",V,9.451,V,AUTO,\"say \"\"hi\"\"\"\r\n");
}

}  // namespace
}  // namespace dmm
