// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "decode/limit_rules.h"

namespace dmm {
namespace {

TEST(LimitRules, WhatCountsAsANumber) {
    for (const char* yes : {"6000", "-6000", "1.5", " 2 ", "+3", ".5", "1.", "1e3", "-999998"}) {
        EXPECT_TRUE(IsNumber(yes, ".")) << yes;
    }
    for (const char* no :
         {"", "abc", "1.2.3", "'", "-", "1,5", "-999999", "-999999.0", "1e", "1e999"}) {
        EXPECT_FALSE(IsNumber(no, ".")) << no;
    }
    EXPECT_TRUE(IsNumber("1,5", ","));
    EXPECT_FALSE(IsNumber("1.5", ","));
    EXPECT_TRUE(IsNumber("12", ""));  // no separator known: whole numbers still convert
}

TEST(LimitRules, Verdict) {
    EXPECT_EQ(Judge("1.2345", "6000", "-6000", "."), Verdict::Pass);
    EXPECT_EQ(Judge("6000", "6000", "-6000", "."), Verdict::Pass);  // ends included
    EXPECT_EQ(Judge("-6000", "6000", "-6000", "."), Verdict::Pass);
    EXPECT_EQ(Judge("-6000.1", "6000", "-6000", "."), Verdict::Fail);
    EXPECT_EQ(Judge("0.L", "6000", "-6000", "."), Verdict::Fail);  // overload
    EXPECT_EQ(Judge("L0.", "6000", "-6000", "."), Verdict::Fail);
    EXPECT_EQ(Judge("1", "-5", "5", "."), Verdict::Fail);  // low above high
    EXPECT_FALSE(Judge("1", "abc", "-6000", ".").has_value());
    EXPECT_FALSE(Judge("1", "6000", "", ".").has_value());
    EXPECT_FALSE(Judge("1", "6000", "-999999", ".").has_value());
    EXPECT_EQ(JudgeTextOf(Verdict::Pass), "pass");
    EXPECT_EQ(JudgeTextOf(Verdict::Fail), "Fail");
}

TEST(LimitRules, KeyFilter) {
    EXPECT_EQ(LimitKeyPress(U'1', "", ".", "."), KeyAction::Accept);
    EXPECT_EQ(LimitKeyPress(U'.', "12", ".", "."), KeyAction::Accept);
    EXPECT_EQ(LimitKeyPress(U'.', "12.", ".", "."), KeyAction::Cancel);  // a second separator
    for (char32_t k : {char32_t(8), U'\'', U'+', U'-', U'`'}) {
        EXPECT_EQ(LimitKeyPress(k, "1-2", ".", "."), KeyAction::Accept);
    }
    for (char32_t k : {U'a', U'e', U' ', U',', U'\u00B5'}) {
        EXPECT_EQ(LimitKeyPress(k, "", ".", "."), KeyAction::Discard);
    }
    // A comma locale; the separator box is read trimmed.
    EXPECT_EQ(LimitKeyPress(U',', "1", " , ", ","), KeyAction::Accept);
    EXPECT_EQ(LimitKeyPress(U',', "1,", " , ", ","), KeyAction::Cancel);
    EXPECT_EQ(LimitKeyPress(U'.', "1", ",", ","), KeyAction::Discard);
    // A separator outside ASCII.
    EXPECT_EQ(LimitKeyPress(U'\u066B', "1", "\u066B", "\u066B"), KeyAction::Accept);
    EXPECT_EQ(LimitKeyPress(U'\u066B', "1\u066B", "\u066B", "\u066B"), KeyAction::Cancel);
    // No separator known: only the fixed set.
    EXPECT_EQ(LimitKeyPress(U'.', "", "", ""), KeyAction::Discard);
}

TEST(LimitRules, DelayedCheckPutsBackTheLastGoodText) {
    std::string lastGood(kStartHighLimit);
    EXPECT_EQ(LimitDelayedCheck("12'", lastGood, "."), "6000");
    EXPECT_EQ(lastGood, "6000");
    EXPECT_EQ(LimitDelayedCheck("", lastGood, "."), "6000");
    EXPECT_EQ(LimitDelayedCheck("-999999", lastGood, "."), "6000");
    EXPECT_EQ(LimitDelayedCheck("12.5", lastGood, "."), "12.5");
    EXPECT_EQ(lastGood, "12.5");
    EXPECT_EQ(LimitDelayedCheck("abc", lastGood, "."), "12.5");
}

}  // namespace
}  // namespace dmm
