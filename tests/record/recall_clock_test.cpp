// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <random>

#include "decode/date_time.h"
#include "decode/text_rules.h"
#include "record/recall_clock.h"

namespace dmm {
namespace {

std::string Hms(double t) { return FormatHms(t, ':'); }

TEST(RecallClock, AdvancesByTheStepPerFrame) {
    RecallClock c;
    const auto on = RecallClock::BoxTextsFor(true);
    c.Load(on[0], on[1], on[2]);
    EXPECT_EQ(Hms(c.Advance(true, "1", 0)), "00:00:01");
    EXPECT_EQ(Hms(c.Advance(true, "1", 0)), "00:00:02");
    EXPECT_EQ(Hms(c.Advance(true, "1", 0)), "00:00:03");

    c.Load("23", "59", "50");
    EXPECT_EQ(Hms(c.Advance(true, "15", 0)), "00:00:05");

    c.Load("8", "15", "30");
    EXPECT_EQ(Hms(c.Advance(true, "0", 0)), "08:15:30");
    EXPECT_EQ(Hms(c.Advance(true, "", 0)), "08:15:30");  // an empty step counts as 0
    EXPECT_EQ(Hms(c.Advance(true, "3600", 0)), "09:15:30");
    EXPECT_EQ(c.RecallStep, 3600);

    // Off: the PC clock's time, and the clock stays where it was.
    EXPECT_EQ(c.Advance(false, "abc", 123.5), 123.5);
    EXPECT_EQ(c.RecallHour, 9);
    EXPECT_THROW(c.Advance(true, "x1", 0), ConversionError);
}

// The clock's carry rule written out one second at a time, as the reference
// for the closed form.
void ReferenceAdvance(int64_t& h, int64_t& m, int64_t& s, int64_t step) {
    s += step;
    while (s > 59) {
        s -= 60;
        m += 1;
        if (m > 59) {
            m -= 60;
            h += 1;
            if (h > 23) h = 0;
        }
    }
}

TEST(RecallClock, ClosedFormMatchesTheCarryRule) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> field(0, 130), step(0, 400000);
    for (int i = 0; i < 20000; ++i) {
        int64_t h = field(rng) % (i % 3 == 0 ? 131 : 24), m = field(rng) % (i % 5 == 0 ? 131 : 60),
                s = field(rng) % 60;
        const int64_t st = i % 2 ? step(rng) : step(rng) % 200;
        RecallClock c;
        c.RecallHour = int32_t(h);
        c.RecallMinute = int32_t(m);
        c.RecallSecond = int32_t(s);
        const auto [h0, m0, s0] = std::tuple(h, m, s);
        ReferenceAdvance(h, m, s, st);
        try {
            c.Advance(true, std::to_string(st), 0);
        } catch (const ConversionError&) {
            // Only a start outside a day that no carry brought back may fail.
            EXPECT_TRUE(h > 23 || m > 59) << h0 << ":" << m0 << ":" << s0 << "+" << st;
        }
        ASSERT_EQ(c.RecallHour, h) << h0 << ":" << m0 << ":" << s0 << "+" << st;
        ASSERT_EQ(c.RecallMinute, m) << h0 << ":" << m0 << ":" << s0 << "+" << st;
        ASSERT_EQ(c.RecallSecond, s) << h0 << ":" << m0 << ":" << s0 << "+" << st;
    }
    // A huge step costs no more than a small one.
    RecallClock c;
    EXPECT_EQ(Hms(c.Advance(true, "2147483647", 0)), "03:14:07");
}

TEST(RecallClock, KeyUpChecksEachBox) {
    RecallClock c;
    std::vector<int> errors;
    c.TimeHKeyUp({"8", "75", "30"}, [&](int box) { errors.push_back(box); });
    EXPECT_EQ(errors, std::vector<int>{1});
    EXPECT_EQ(c.RecallHour, 8);
    EXPECT_EQ(c.RecallMinute, 0);  // kept its value in this pass
    EXPECT_EQ(c.RecallSecond, 30);
    errors.clear();
    c.TimeHKeyUp({"24", "1", "60"}, [&](int box) { errors.push_back(box); });
    EXPECT_EQ(errors, (std::vector<int>{0, 2}));
    EXPECT_EQ(c.RecallMinute, 1);
    // An emptied box stops the pass with the conversion error; boxes before it count.
    try {
        c.TimeHKeyUp({"5", "", "7"}, {});
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_EQ(c.RecallHour, 5);
    EXPECT_EQ(c.RecallSecond, 30);
}

}  // namespace
}  // namespace dmm
