// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "decode/date_time.h"
#include "record/reading_log.h"
#include "record/recording_session.h"

namespace dmm {
namespace {

CurrentReading Reading(std::string value, std::string function = "DC", std::string unit = "V",
                       std::string autoText = "AUTO", double count = 1) {
    CurrentReading r;
    r.ValueText = std::move(value);
    r.FunctionText = std::move(function);
    r.UnitText = std::move(unit);
    r.AutoText = std::move(autoText);
    r.ReadingValue = count;
    return r;
}

class Log : public ::testing::Test {
protected:
    Log() : log(table) {
        log.setClock([] { return 45000.0 + TimeOfDay(9, 5, 7); });
    }
    ReadingTable table;
    ReadingLog log;
};

TEST_F(Log, RecordsEveryFieldOfTheReading) {
    CurrentReading r = Reading("-1.2345", "AC", "mV", "", -12345);
    r.JudgeText = "Fail";
    EXPECT_TRUE(log.INDataToTable(r, true, false));
    ASSERT_EQ(table.size(), 1u);
    const RowData row = table.row(0);
    EXPECT_EQ(row.no, 1);
    EXPECT_EQ(row.time, "09:05:07");
    EXPECT_EQ(row.dcac, "AC");
    EXPECT_EQ(row.value, "-1.2345");
    EXPECT_EQ(row.unit, "mV");
    EXPECT_EQ(row.judge, "Fail");  // the verdict, not the range mode
    EXPECT_EQ(row.nval, -12345);
    EXPECT_EQ(log.ReadingNo, 2);
    EXPECT_EQ(log.RecordedCount, 1);

    // The recall clock's stamp, and the locale's separator.
    r.ReadingTime = TimeOfDay(23, 59, 58);
    log.setTimeSeparator('.');
    log.INDataToTable(r, true, true);
    EXPECT_EQ(table.text(1, Field::Time), "23.59.58");
}

TEST_F(Log, RepeatRuleUsesValueFunctionUnitAndRangeMode) {
    const CurrentReading a = Reading("1.000"), b = Reading("2.000");
    for (const auto* r : {&a, &a, &a, &b}) log.INDataToTable(*r, false, false);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.integer(0, Field::No), 1);
    EXPECT_EQ(table.integer(1, Field::No), 4);

    // Differences only in the count or the verdict count as a repeat; a
    // different range mode does not.
    CurrentReading c = b;
    c.ReadingValue = 99;
    c.JudgeText = "Fail";
    EXPECT_FALSE(log.INDataToTable(c, false, false));
    c.AutoText = "";
    EXPECT_TRUE(log.INDataToTable(c, false, false));
    EXPECT_EQ(log.ReadingNo, 7);

    // After clearing, the last key still suppresses the same reading.
    log.Clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(log.INDataToTable(c, false, false));
    EXPECT_TRUE(log.INDataToTable(a, false, false));
    EXPECT_EQ(table.integer(0, Field::No), 2);
}

TEST_F(Log, CapacityStopsRecordingWithoutNumbering) {
    log.RecordLimit = 3;
    for (int i = 0; i < 5; ++i) log.INDataToTable(Reading(std::to_string(i)), true, false);
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(log.ReadingNo, 4);
    // A capacity below what is held stops at once and removes nothing.
    log.RecordLimit = 2;
    EXPECT_FALSE(log.INDataToTable(Reading("x"), true, false));
    EXPECT_EQ(table.size(), 3u);
    log.RecordLimit = kCapacityItems[5].limit;
    EXPECT_EQ(log.RecordLimit, 10000000);
    EXPECT_TRUE(log.INDataToTable(Reading("y"), true, false));
    EXPECT_EQ(table.integer(3, Field::No), 4);
}

TEST(IntervalBox, InvalidEntriesBecomeOne) {
    EXPECT_EQ(SamplingIntervalFromText("5").intervalMs, 5000);
    for (const char* bad : {"", "0", "abc", "-3", "99999999999"}) {
        const auto s = SamplingIntervalFromText(bad);
        EXPECT_EQ(s.text, "1") << bad;
        EXPECT_EQ(s.intervalMs, 1000) << bad;
    }
    // Beyond what the timer holds: the box keeps its text, the timer its most.
    const auto big = SamplingIntervalFromText("2147483647");
    EXPECT_EQ(big.text, "2147483647");
    EXPECT_EQ(big.intervalMs, INT_MAX);
    EXPECT_TRUE(DigitKeyAccepted(U'7'));
    EXPECT_TRUE(DigitKeyAccepted(8));
    EXPECT_FALSE(DigitKeyAccepted(U'-'));
    EXPECT_FALSE(DigitKeyAccepted(U'a'));
}

TEST(Table, TextsAreCutAndNullsKept) {
    ReadingTable t;
    t.appendRecorded(1, "12:00:00", "DC", "123456789012345678901234", "V", "", 5);
    EXPECT_EQ(t.text(0, Field::Value), "12345678901234567890");
    EXPECT_FALSE(t.isNull(0, Field::Auto));  // recorded empty text stays empty, not null
    RowData d;
    d.no = 7;
    d.time = "x";
    d.value = std::string(25, 'v');
    t.append(d);
    const RowData back = t.row(1);
    EXPECT_EQ(back.no, 7);
    EXPECT_FALSE(back.nval.has_value());
    EXPECT_FALSE(back.dcac.has_value());
    EXPECT_EQ(back.value, std::string(20, 'v'));
    // A multi-byte character is never split by the cut.
    d.value = std::string(19, 'a') + "\xC2\xB5" + "b";
    t.append(d);
    EXPECT_EQ(t.text(2, Field::Value), std::string(19, 'a') + "\xC2\xB5");
    const uint64_t gen = t.generation();
    t.clear();
    EXPECT_EQ(t.size(), 0u);
    EXPECT_NE(t.generation(), gen);
}

TEST(Table, ManyRowsAcrossChunks) {
    ReadingTable t;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        t.appendRecorded(i, "t" + std::to_string(i % 1000), "DC", std::to_string(i % 37), "V", "pass",
                         -i);
    }
    ASSERT_EQ(t.size(), size_t(n));
    for (int i : {0, 65535, 65536, 131072, n - 1}) {
        EXPECT_EQ(t.integer(size_t(i), Field::No), i);
        EXPECT_EQ(t.integer(size_t(i), Field::Nval), -i);
        EXPECT_EQ(t.text(size_t(i), Field::Time), "t" + std::to_string(i % 1000));
        EXPECT_EQ(t.text(size_t(i), Field::Value), std::to_string(i % 37));
    }
    EXPECT_LT(t.bytes() / size_t(n), 48u);
}

// The recording session: the journal gets each row before the front end
// hears of it; a reading turned away for the capacity is told once until the
// table is cleared or the capacity changes; a row budget ends recording.
TEST(Session, CapacityIsToldOnceAndTheBudgetEndsRecording) {
    MeterState state;
    state.Reading = Reading("1.0000");
    RecordingSession session(state);
    session.setClock([] { return TimeOfDay(9, 5, 7); });
    std::vector<size_t> recorded;
    std::vector<int32_t> told;
    session.onRecorded = [&](size_t row) { recorded.push_back(row); };
    session.onCapacityReached = [&](int32_t limit) { told.push_back(limit); };
    session.setCapacity(2);
    for (int i = 0; i < 4; ++i)
        session.INDataToTable(0);
    EXPECT_EQ(recorded, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(told, std::vector<int32_t>{2});
    EXPECT_EQ(session.rowsTurnedAway(), 2);
    session.Clear();
    for (int i = 0; i < 3; ++i)
        session.INDataToTable(0);
    EXPECT_EQ(told, (std::vector<int32_t>{2, 2}));
    EXPECT_EQ(session.table().size(), 2u);
    EXPECT_EQ(session.table().integer(0, Field::No), 1);

    session.setCapacity(100);
    session.setRowBudget(5);
    for (int i = 0; i < 10; ++i)
        session.INDataToTable(0);
    EXPECT_EQ(session.rowsRecorded(), 5);
    EXPECT_TRUE(session.budgetSpent());
    EXPECT_EQ(told.size(), 2u);
}

}  // namespace
}  // namespace dmm
