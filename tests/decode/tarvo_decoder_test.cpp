#include <gtest/gtest.h>

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

}  // namespace
}  // namespace dmm
