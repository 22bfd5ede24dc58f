// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "decode/decoders.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"

namespace dmm {
namespace {

// Builds a Tarvo FrameText from its fields: five digit characters, range,
// function, coupling and status.
std::string Frame(std::string_view digits, char range, char function, char coupling, char status) {
    std::string f(digits);
    f += range;
    f += function;
    f += coupling;
    f += status;
    f += "DA";
    return f;
}

class TarvoDecoder : public ::testing::Test {
  protected:
    TarvoDecoder() : host(state) { ApplyStartup(state, true, ".", 0); }
    void decode(const std::string& frame) {
        state.FrameText = frame;
        LcdDisplayTarvo(state, host);
    }
    bool shown(El e) const { return state.Lcd.visible(e); }

    MeterState state;
    test::RecordingHost host;
};

TEST_F(TarvoDecoder, DcVoltsWithAutoAndSign) {
    decode(Frame("12345", '1', '1', '2', '2'));
    EXPECT_TRUE(shown(El::LcdV));
    EXPECT_TRUE(shown(El::LcdDc1));
    EXPECT_FALSE(shown(El::LcdAuto));
    EXPECT_TRUE(shown(El::LcdP0));
    EXPECT_FALSE(shown(El::LcdP1));
    EXPECT_TRUE(shown(El::CONok));
    EXPECT_FALSE(shown(El::CONokN));
    EXPECT_EQ(state.Reading.ValueText, "1.2345");
    EXPECT_EQ(state.Reading.ReadingValue, 12345);
    EXPECT_EQ(state.Reading.UnitText, "V");
    EXPECT_EQ(state.Reading.FunctionText, "DC");
    EXPECT_EQ(state.Reading.AutoText, "");
    EXPECT_EQ(state.Scale.AxisRange, 2);
    EXPECT_EQ(host.axisMin, -2);
    EXPECT_EQ(host.axisMax, 2);
    EXPECT_EQ(host.bar, 12);
    EXPECT_EQ(host.measured, "1.2345");
    EXPECT_EQ(state.Lcd.caption(El::LcdD0), "1");
    EXPECT_EQ(state.Lcd.caption(El::LcdDd), "5");
    // The steps reach the host in their order.
    const std::vector<std::string> order = {"axis",  "series", "measured", "verdict",
                                            "clock", "record", "bar"};
    EXPECT_EQ(host.calls, order);
    ASSERT_EQ(host.table.size(), 1u);
    EXPECT_EQ(host.table.text(0, Field::Auto), "pass");

    struct Case {
        char status;
        bool autoShown, minus;
    };
    for (const Case c : {Case{'1', true, false}, Case{'3', false, false}, Case{'5', true, true},
                         Case{'9', true, false}, Case{'4', false, true}, Case{'D', false, false}}) {
        SCOPED_TRACE(c.status);
        if (c.status == 'D') {
            EXPECT_THROW(decode(Frame("12345", '1', '1', '2', c.status)), ConversionError);
            continue;
        }
        decode(Frame("12345", '1', '1', '2', c.status));
        EXPECT_EQ(shown(El::LcdAuto), c.autoShown);
        EXPECT_EQ(state.Reading.AutoText, c.autoShown ? "AUTO" : "");
        EXPECT_EQ(shown(El::LcdFH), c.minus);
        EXPECT_EQ(state.Reading.ValueText, c.minus ? "-1.2345" : "1.2345");
        EXPECT_EQ(state.Reading.ReadingValue, c.minus ? -12345 : 12345);
    }
}

TEST_F(TarvoDecoder, OverloadForms) {
    decode(Frame("A1234", '1', '4', '0', '0'));
    EXPECT_EQ(state.Lcd.caption(El::LcdD0), "");
    EXPECT_EQ(state.Lcd.caption(El::LcdDa), "");
    EXPECT_EQ(state.Lcd.caption(El::LcdDb), "0");
    EXPECT_EQ(state.Lcd.caption(El::LcdDc), "@");
    EXPECT_EQ(state.Lcd.caption(El::LcdDd), "");
    EXPECT_TRUE(shown(El::LCDohm));
    EXPECT_EQ(state.Reading.ValueText, "0.L");
    EXPECT_EQ(state.Reading.ReadingValue, 200);
    EXPECT_EQ(state.Reading.UnitText, "*");
    EXPECT_EQ(state.Reading.FunctionText, "OHM");
    EXPECT_EQ(host.bar, 20);  // BarFull of the built model
    EXPECT_EQ(state.Reading.JudgeText, "Fail");
    EXPECT_EQ(host.lastVerdict, Verdict::Fail);

    decode(Frame("AC000", '1', '4', '0', '4'));
    EXPECT_EQ(state.Reading.ValueText, "L0.");
    EXPECT_TRUE(shown(El::LcdP3));
    EXPECT_FALSE(shown(El::LcdP2));
    EXPECT_EQ(host.bar, 1);
    EXPECT_EQ(state.Reading.ReadingValue, -200);
}

TEST_F(TarvoDecoder, SpecialDigitCodesAndDutyCycle) {
    decode(Frame("123B5", '2', '1', '2', '0'));
    for (El e : {El::LcdD0, El::LcdDa, El::LcdDb, El::LcdDc, El::LcdDd}) {
        EXPECT_EQ(state.Lcd.caption(e), "0");
    }
    EXPECT_EQ(state.Reading.ReadingValue, 0);
    EXPECT_EQ(host.bar, 1);

    decode(Frame("1234A", '2', '1', '2', '0'));
    EXPECT_EQ(state.Lcd.caption(El::LcdDd), "");
    EXPECT_EQ(state.Reading.ReadingValue, 1234);
    EXPECT_EQ(state.Reading.ValueText, "12.34");

    // A negative frequency is a duty cycle.
    decode(Frame("04567", '3', 'C', '0', '4'));
    EXPECT_EQ(state.Reading.UnitText, "%");
    EXPECT_TRUE(shown(El::LCDBF));
    EXPECT_FALSE(shown(El::LCDHz));
    EXPECT_FALSE(shown(El::LCDk));
    EXPECT_FALSE(shown(El::LcdFH));
    EXPECT_TRUE(shown(El::LcdP2));
    EXPECT_EQ(state.Reading.ValueText, "045.67");
    EXPECT_EQ(state.Reading.ReadingValue, 4567);
    EXPECT_EQ(state.Scale.AxisRange, 20);  // the frequency range's scale stays
}

TEST_F(TarvoDecoder, NoAnnunciatorOutlivesItsFunction) {
    decode(Frame("12345", '3', 'C', '1', '1'));  // kHz, AC, auto
    EXPECT_TRUE(shown(El::LCDHz));
    EXPECT_TRUE(shown(El::LCDk));
    EXPECT_TRUE(shown(El::LcdAC));
    EXPECT_TRUE(shown(El::LCDTRMS));
    decode(Frame("12345", '1', '6', '2', '0'));  // Celsius, DC
    for (El e : {El::LCDHz, El::LCDk, El::LcdAC, El::LCDTRMS, El::LCDTRMST, El::LcdAuto}) {
        EXPECT_FALSE(shown(e)) << LcdState::name(e);
    }
    EXPECT_TRUE(shown(El::LCDCS));
    EXPECT_EQ(state.Reading.UnitText, "#");
    EXPECT_FALSE(shown(El::LCDBT));
    EXPECT_FALSE(shown(El::LcdACDC));
}

TEST_F(TarvoDecoder, FunctionTable) {
    struct Case {
        char function, range, coupling;
        const char* unit;
        const char* functionText;
        int axis;
        int point;  // -1: none lit
    };
    const Case cases[] = {
        {'0', '5', '0', "", "DC", 200, -1},
        {'2', '4', '0', "V", "", 1000, 3},
        {'3', '9', '0', "mV", "DC", 200, 2},
        {'4', '5', '0', "M*", "OHM", 2, 0},
        {'5', '1', '0', "nF", "CAP", 20, 1},
        {'5', '7', '0', "mF", "CAP", 20, 1},
        {'7', '1', '0', "uA", "DC", 2000, 3},
        {'8', '0', '0', "mA", "DC", 20, 1},
        {'9', '3', '0', "A", "DC", 10, 1},
        {'A', '0', '0', "*", "OHM", 1000, 2},
        {'B', '0', '0', "V", "Diode", 20, 0},
        {'C', '7', '0', "MHz", "Frequency", 200, 2},
        {'D', '0', '0', "?", "Temperature", 1832, 3},
        {'E', '0', '0', "W", "", 200, 3},
        {'F', '0', '3', "mA%", "AC+DC", 200, 2},
        {'1', '1', '5', "V", "", 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.function) + c.range);
        decode(Frame("12345", c.range, c.function, c.coupling, '0'));
        EXPECT_EQ(state.Reading.UnitText, c.unit);
        EXPECT_EQ(state.Reading.FunctionText, c.functionText);
        EXPECT_EQ(state.Scale.AxisRange, c.axis);
        EXPECT_EQ(host.axisMax, c.axis);
        const El points[] = {El::LcdP0, El::LcdP1, El::LcdP2, El::LcdP3};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(shown(points[i]), i == c.point) << i;
    }
    // A range without an entry keeps the previous full scale and lights no point.
    decode(Frame("12345", '2', '4', '0', '0'));
    decode(Frame("12345", '9', '4', '0', '0'));
    EXPECT_EQ(state.Scale.AxisRange, 2);
    EXPECT_EQ(state.Reading.ValueText, "12345");
}

TEST_F(TarvoDecoder, ConversionErrorKeepsEarlierSteps) {
    decode(Frame("12345", '1', '1', '2', '0'));
    ASSERT_EQ(host.table.size(), 1u);
    host.calls.clear();
    try {
        decode(Frame("54321", 'C', '1', '2', '0'));
        FAIL() << "range C must not convert";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'C' is not a valid integer value");
    }
    // Digits were set and the annunciators cleared before the failing step.
    EXPECT_EQ(state.Lcd.caption(El::LcdD0), "5");
    EXPECT_FALSE(shown(El::LcdV));
    EXPECT_EQ(state.Reading.UnitText, "");
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(host.table.size(), 1u);

    // A digit that is not decimal fails at the value, after the display is set.
    try {
        decode(Frame("12F45", '1', '1', '2', '0'));
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'12F45' is not a valid integer value");
    }
    EXPECT_EQ(state.Reading.ValueText, "1.2F45");
    EXPECT_EQ(host.table.size(), 1u);
}

TEST_F(TarvoDecoder, LimitsAndScaleTracking) {
    decode(Frame("12345", '1', '1', '2', '0'));
    EXPECT_EQ(host.verdicts, 1);
    EXPECT_EQ(state.Reading.JudgeText, "pass");
    EXPECT_EQ(host.showSeriesCalls, 1);  // the first frame is a scale change
    EXPECT_EQ(host.lastSeries, 1);

    host.high = "abc";
    decode(Frame("12345", '1', '1', '2', '0'));
    EXPECT_EQ(host.verdicts, 1);
    host.high = "6000";
    host.low = "-999999";
    decode(Frame("12345", '1', '1', '2', '0'));
    EXPECT_EQ(host.verdicts, 1);
    EXPECT_EQ(state.Reading.JudgeText, "pass");
    host.low = "5";
    host.high = "-5";
    decode(Frame("00001", '1', '1', '2', '0'));
    EXPECT_EQ(state.Reading.JudgeText, "Fail");
    EXPECT_EQ(host.showSeriesCalls, 1);

    // Highest and lowest within one scale.
    EXPECT_EQ(state.Scale.MaxString, "1.2345");
    EXPECT_EQ(state.Scale.MinString, "0.0001");
    EXPECT_EQ(state.Lcd.caption(El::MaxText), "1.2345");
    EXPECT_EQ(state.Lcd.caption(El::MinTextU), "V");

    host.fill = true;
    decode(Frame("12345", '1', '3', '2', '0'));  // V -> mV
    EXPECT_EQ(host.showSeriesCalls, 2);
    EXPECT_EQ(host.lastSeries, 0);
    EXPECT_EQ(state.Scale.LastUnitText, "mV");
    EXPECT_EQ(state.Scale.MaxString, "123.45");
    EXPECT_EQ(state.Scale.MinValue, 200);  // 12345 > AxisRange: the lowest stays
    decode(Frame("12345", '1', '3', '2', '0'));
    EXPECT_EQ(host.showSeriesCalls, 2);
}

TEST_F(TarvoDecoder, IntervalModeAndCommaSeparator) {
    host.recordSI = true;
    decode(Frame("12345", '1', '1', '2', '0'));
    EXPECT_EQ(host.offered, 0);
    EXPECT_EQ(host.table.size(), 0u);

    state.DecimalSep = ",";
    host.recordSI = false;
    host.high = "1,5";
    host.low = "1,2";
    decode(Frame("13000", '1', '1', '2', '0'));
    EXPECT_EQ(state.Reading.ValueText, "1,3000");
    EXPECT_EQ(state.Reading.JudgeText, "pass");
    decode(Frame("16000", '1', '1', '2', '0'));
    EXPECT_EQ(state.Reading.JudgeText, "Fail");
}

// The meter's function table, written out from its description: for every
// function code the elements it shows and its unit letters, and for every
// range the decimal point, the full scale and the prefix. Ranges not listed
// place no point and keep the full scale of the frame before.
struct RangeEntry {
    int point;  // -1: no point
    int32_t axis;
    char prefix;  // 0: none
};
struct FunctionEntry {
    std::vector<El> shown;
    std::string unit;
    std::string functionText;  // with coupling 0
    std::map<int, RangeEntry> ranges;
    std::optional<RangeEntry> anyRange;
};

std::map<int, RangeEntry> VoltRanges() {
    return {{1, {0, 2, 0}}, {2, {1, 20, 0}}, {3, {2, 200, 0}}, {4, {3, 1000, 0}}};
}

std::vector<FunctionEntry> FunctionTable() {
    return {
        /*0*/ {{}, "", "DC", {}, RangeEntry{-1, 200, 0}},
        /*1*/ {{El::LcdV}, "V", "DC", VoltRanges(), {}},
        /*2*/ {{El::LcdV}, "V", "", VoltRanges(), {}},
        /*3*/ {{El::LcdV, El::Lcdm}, "mV", "DC", {}, RangeEntry{2, 200, 0}},
        /*4*/
        {{El::LCDohm},
         "*",
         "OHM",
         {{1, {2, 200, 0}},
          {2, {0, 2, 'k'}},
          {3, {1, 20, 'k'}},
          {4, {2, 200, 'k'}},
          {5, {0, 2, 'M'}},
          {6, {1, 20, 'M'}}},
         {}},
        /*5*/
        {{El::LCDF},
         "F",
         "CAP",
         {{1, {1, 20, 'n'}},
          {2, {2, 200, 'n'}},
          {3, {0, 2, 'u'}},
          {4, {1, 20, 'u'}},
          {5, {2, 200, 'u'}},
          {6, {0, 2, 'm'}},
          {7, {1, 20, 'm'}}},
         {}},
        /*6*/ {{El::LCDCS}, "#", "Temperature", {}, RangeEntry{3, 1000, 0}},
        /*7*/ {{El::LCDA}, "A", "DC", {{0, {2, 200, 'u'}}, {1, {3, 2000, 'u'}}}, {}},
        /*8*/ {{El::LCDA}, "A", "DC", {{0, {1, 20, 'm'}}, {1, {2, 200, 'm'}}}, {}},
        /*9*/ {{El::LCDA}, "A", "DC", {}, RangeEntry{1, 10, 0}},
        /*10*/ {{El::LCDFm, El::LCDohm}, "*", "OHM", {}, RangeEntry{2, 1000, 0}},
        /*11*/ {{El::LCDDI, El::LcdV}, "V", "Diode", {}, RangeEntry{0, 20, 0}},
        /*12*/
        {{El::LCDHz},
         "Hz",
         "Frequency",
         {{0, {1, 20, 0}},
          {1, {2, 200, 0}},
          {2, {0, 2, 'k'}},
          {3, {1, 20, 'k'}},
          {4, {2, 200, 'k'}},
          {5, {0, 2, 'M'}},
          {6, {1, 20, 'M'}},
          {7, {2, 200, 'M'}}},
         {}},
        /*13*/ {{El::LCDFS}, "?", "Temperature", {}, RangeEntry{3, 1832, 0}},
        /*14*/ {{El::lcdW}, "W", "", {}, RangeEntry{3, 200, 0}},
        /*15*/ {{El::LCDBF}, "mA%", "", {}, RangeEntry{2, 200, 0}},
    };
}

El PrefixOf(char prefix) {
    switch (prefix) {
        case 'k':
            return El::LCDk;
        case 'M':
            return El::LCDM1;
        case 'm':
            return El::Lcdm;
        case 'u':
            return El::LCDu;
        default:
            return El::LCDn;
    }
}

TEST_F(TarvoDecoder, EveryFunctionInEveryRange) {
    const El functionElements[] = {El::LcdV,  El::Lcdm,  El::LCDohm, El::LCDk, El::LCDM1, El::LCDF,
                                   El::LCDn,  El::LCDu,  El::LCDCS,  El::LCDA, El::LCDHz, El::LCDBF,
                                   El::LCDFm, El::LCDDI, El::LCDFS,  El::lcdW};
    const El points[] = {El::LcdP0, El::LcdP1, El::LcdP2, El::LcdP3};
    const std::vector<FunctionEntry> table = FunctionTable();
    constexpr int32_t kBefore = 7777;  // the full scale of the frame before
    for (int code = 0; code < 16; ++code) {
        const FunctionEntry& fn = table[size_t(code)];
        for (int r = 0; r <= 9; ++r) {
            SCOPED_TRACE("function " + std::to_string(code) + " range " + std::to_string(r));
            RangeEntry expected{-1, kBefore, 0};
            if (fn.anyRange)
                expected = *fn.anyRange;
            else if (auto it = fn.ranges.find(r); it != fn.ranges.end())
                expected = it->second;
            std::set<El> lit(fn.shown.begin(), fn.shown.end());
            if (expected.prefix != 0)
                lit.insert(PrefixOf(expected.prefix));

            state.Scale.AxisRange = kBefore;
            decode(Frame("12345", char('0' + r), HexDigit(code), '0', '0'));
            for (El e : functionElements)
                EXPECT_EQ(shown(e), lit.count(e) == 1) << LcdState::name(e);
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(shown(points[i]), i == expected.point) << "point " << i;
            EXPECT_EQ(state.Scale.AxisRange, expected.axis);
            EXPECT_EQ(state.Reading.UnitText,
                      (expected.prefix ? std::string(1, expected.prefix) : "") + fn.unit);
            EXPECT_EQ(state.Reading.FunctionText, fn.functionText);
        }
    }
}

TEST_F(TarvoDecoder, EveryCoupling) {
    const El couplingElements[] = {El::LcdAC, El::LCDJa, El::LcdDc1, El::LCDTRMST, El::LCDTRMS};
    const std::map<int, std::pair<std::set<El>, std::string>> couplings = {
        {1, {{El::LcdAC, El::LCDTRMST, El::LCDTRMS}, "AC"}},
        {2, {{El::LcdDc1}, "DC"}},
        {3, {{El::LcdAC, El::LCDJa, El::LcdDc1, El::LCDTRMST, El::LCDTRMS}, "AC+DC"}},
    };
    for (int c = 1; c <= 9; ++c) {
        SCOPED_TRACE("coupling " + std::to_string(c));
        decode(Frame("12345", '1', '1', char('0' + c), '0'));
        const auto it = couplings.find(c);
        const std::set<El> lit = it != couplings.end() ? it->second.first : std::set<El>{};
        for (El e : couplingElements)
            EXPECT_EQ(shown(e), lit.count(e) == 1) << LcdState::name(e);
        EXPECT_EQ(state.Reading.FunctionText, it != couplings.end() ? it->second.second : "");
    }
}

}  // namespace
}  // namespace dmm
