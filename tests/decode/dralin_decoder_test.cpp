// SPDX-License-Identifier: GPL-3.0-or-later
// The Dralin decoder: digit, range and function frames in, LCD state and
// reading out.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "decode/decoders.h"
#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"

namespace dmm {
namespace {

// One Dralin frame: the characters between the "A" and the "D" of the line end.
struct Dralin {
    char range = '0';
    std::string_view digits = "1234";
    char function = 'B';
    char status = '0';
    char option = '0';
    char mode = '1';  // manual range, no coupling, serial marks off

    std::string text() const {
        std::string s = "A";
        s += range;
        s += digits;
        s += function;
        s += status;
        s += option;
        s += mode;
        return s + "D";
    }
    // The collected run on the line: the 0x0A of the previous frame, the nine
    // data bytes, the 0x0D.
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b = {0x0A};
        const std::string t = text();
        for (size_t i = 1; i + 1 < t.size(); ++i)
            b.push_back(uint8_t(0x30 | HexValue(t[i])));
        b.push_back(0x0D);
        return b;
    }
};

// Every element the Dralin frame switches, apart from the digits.
constexpr El kMapped[] = {El::LcdFH, El::LcdP1,   El::LcdP2,   El::LcdP3, El::LcdAuto,
                          El::LCDRS, El::LCD232C, El::LCDBATT, El::LcdAC, El::LcdDc1,
                          El::LCDk,  El::LCDM1,   El::Lcdm,    El::LCDu,  El::LCDn,
                          El::LCDA,  El::LcdV,    El::LCDohm,  El::LCDHz, El::LcdRPM,
                          El::LCDCS, El::LCDFS,   El::LCDFm,   El::LCDDI, El::LCDF};

using Names = std::vector<std::string>;
using Four = std::array<std::string, 4>;
using Shown4 = std::array<bool, 4>;

Names ShownOf(const LcdState& lcd) {
    Names shown;
    for (El e : kMapped) {
        if (lcd.visible(e))
            shown.emplace_back(LcdState::name(e));
    }
    return shown;
}

constexpr El kDigits[4] = {El::LcdDa, El::LcdDb, El::LcdDc, El::LcdDd};

Four Captions(const LcdState& lcd) {
    Four c;
    for (size_t i = 0; i < 4; ++i)
        c[i] = lcd.caption(kDigits[i]);
    return c;
}

Shown4 DigitsShown(const LcdState& lcd) {
    Shown4 s;
    for (size_t i = 0; i < 4; ++i)
        s[i] = lcd.visible(kDigits[i]);
    return s;
}

class DralinDecoder : public ::testing::Test {
  protected:
    DralinDecoder() { ApplyStartup(state, true, ".", 0); }

    void Decode(const Dralin& frame) { Decode(frame.text()); }
    void Decode(const std::string& frameText) {
        state.FrameText = frameText;
        LcdDisplayDralin(state, host);
    }
    std::string FailureOf(const std::string& frameText) {
        try {
            Decode(frameText);
        } catch (const ConversionError& e) {
            return e.what();
        }
        return "";
    }
    void HideDigits() {
        for (El e : kDigits)
            state.Lcd.hide(e);
    }

    MeterState state;
    test::RecordingHost host{state};
};

TEST_F(DralinDecoder, FramesFromTheSerialLine) {
    const Dralin volts{.range = '1', .digits = "0123", .function = 'B', .mode = 'A'};
    const std::vector<uint8_t> wire = {0x0A, 0x31, 0x30, 0x31, 0x32, 0x33,
                                       0x3B, 0x30, 0x30, 0x3A, 0x0D};
    ASSERT_EQ(volts.bytes(), wire);

    for (El e : kMapped)
        state.Lcd.show(e);
    HideDigits();
    state.NoFrameTicks = 9;
    FrameReceiver receiver(state, host);
    // The link opened in mid-frame: that run fails the check and is dropped.
    std::vector<uint8_t> chunk = {0x33, 0x3B, 0x30, 0x30, 0x3A, 0x0D};
    chunk.insert(chunk.end(), wire.begin(), wire.end());
    receiver.HDralinRData(chunk.data(), int32_t(chunk.size()));

    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(ShownOf(state.Lcd),
              (Names{"LcdP1", "LcdAuto", "LCDRS", "LCD232C", "LcdDc1", "LcdV"}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{true, true, true, true}));
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "1", "2", "3"}));
    EXPECT_EQ(state.Reading.ValueText, "0.123");
    EXPECT_EQ(state.Reading.ReadingValue, 123);
    EXPECT_EQ(state.Reading.UnitText, "V");
    EXPECT_EQ(state.Reading.FunctionText, "DC");
    EXPECT_EQ(state.Reading.AutoText, "AUTO");
    EXPECT_EQ(state.Scale.LastPointIndex, 1);
    EXPECT_EQ(host.bar, 1);
    EXPECT_EQ(state.NoFrameTicks, 0);
    EXPECT_TRUE(state.Lcd.visible(El::CONok));
    EXPECT_FALSE(state.Lcd.visible(El::CONokN));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"series", "clock", "record", "bar"}));
    ASSERT_EQ(host.table.size(), 1u);
    EXPECT_EQ(host.table.text(0, Field::Value), "0.123");

    // Resistance, range 0: point 3 and two leading zeros blanked.
    const auto ohms = Dralin{.range = '0', .digits = "0012", .function = '3', .mode = 'B'}.bytes();
    receiver.HDralinRData(ohms.data(), int32_t(ohms.size()));
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP3", "LcdAuto", "LcdDc1", "LCDohm"}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{false, false, true, true}));
    EXPECT_EQ(state.Reading.ValueText, "001.2");
    EXPECT_EQ(state.Reading.ReadingValue, 12);
    EXPECT_EQ(state.Reading.UnitText, "*");

    // The same in range 1 with the overload bit.
    const auto over =
        Dralin{.range = '1', .digits = "0000", .function = '3', .status = '1', .mode = 'B'}.bytes();
    receiver.HDralinRData(over.data(), int32_t(over.size()));
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "0", "@", "0"}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{false, true, true, false}));
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LcdAuto", "LcdDc1", "LCDk", "LCDohm"}));
    EXPECT_EQ(state.Reading.ValueText, ".0L");
    EXPECT_EQ(state.Reading.ReadingValue, 20001);
    EXPECT_EQ(state.Reading.UnitText, "k*");
    EXPECT_EQ(host.bar, 20);
    EXPECT_EQ(host.offered, 3);
}

TEST_F(DralinDecoder, DecodeFailureEndsTheChunkAndTheNextFrameDecodes) {
    const auto bad = Dralin{.range = 'A', .function = 'B'}.bytes();
    const auto good = Dralin{.range = '1', .function = 'B'}.bytes();
    std::vector<uint8_t> chunk = bad;
    chunk.insert(chunk.end(), good.begin(), good.end());
    FrameReceiver receiver(state, host);
    EXPECT_THROW(receiver.HDralinRData(chunk.data(), int32_t(chunk.size())), ConversionError);
    EXPECT_EQ(host.offered, 0);
    receiver.HDralinRData(good.data(), int32_t(good.size()));
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.Reading.ValueText, "1.234");
}

TEST_F(DralinDecoder, FunctionAndRangeGivePointPrefixAndUnit) {
    struct Case {
        Dralin frame;
        std::string unit, value;
        Names shown;
    };
    const Case cases[] = {
        {{.range = '0', .function = 'B'}, "mV", "123.4", {"LcdP3", "Lcdm", "LcdV"}},
        {{.range = '1', .function = 'B'}, "V", "1.234", {"LcdP1", "LcdV"}},
        {{.range = '2', .function = 'B'}, "V", "12.34", {"LcdP2", "LcdV"}},
        {{.range = '3', .function = 'B'}, "V", "123.4", {"LcdP3", "LcdV"}},
        {{.range = '4', .function = 'B'}, "V", "1234", {"LcdV"}},
        {{.range = '9', .function = 'B'}, "V", "1234", {"LcdV"}},
        {{.range = '0', .function = 'D'}, "uA", "123.4", {"LcdP3", "LCDu", "LCDA"}},
        {{.range = '1', .function = 'D'}, "uA", "1234", {"LCDu", "LCDA"}},
        {{.range = '0', .function = '9'}, "mA", "12.34", {"LcdP2", "Lcdm", "LCDA"}},
        {{.range = '1', .function = '9'}, "mA", "123.4", {"LcdP3", "Lcdm", "LCDA"}},
        {{.range = '2', .function = '9'}, "mA", "1234", {"Lcdm", "LCDA"}},
        {{.range = 'A', .function = 'F'}, "A", "12.34", {"LcdP2", "LCDA"}},  // range not read
        {{.range = '0', .function = '3'}, "*", "123.4", {"LcdP3", "LCDohm"}},
        {{.range = '1', .function = '3'}, "k*", "1.234", {"LcdP1", "LCDk", "LCDohm"}},
        {{.range = '2', .function = '3'}, "k*", "12.34", {"LcdP2", "LCDk", "LCDohm"}},
        {{.range = '3', .function = '3'}, "k*", "123.4", {"LcdP3", "LCDk", "LCDohm"}},
        {{.range = '4', .function = '3'}, "M*", "1.234", {"LcdP1", "LCDM1", "LCDohm"}},
        {{.range = '5', .function = '3'}, "M*", "12.34", {"LcdP2", "LCDM1", "LCDohm"}},
        {{.range = '6', .function = '3'}, "*", "1234", {"LCDohm"}},
        {{.range = '1', .function = '2'}, "kHz", "12.34", {"LcdP2", "LCDk", "LCDHz"}},
        {{.range = '2', .function = '2'}, "kHz", "123.4", {"LcdP3", "LCDk", "LCDHz"}},
        {{.range = '3', .function = '2'}, "MHz", "1.234", {"LcdP1", "LCDM1", "LCDHz"}},
        {{.range = '4', .function = '2'}, "MHz", "12.34", {"LcdP2", "LCDM1", "LCDHz"}},
        {{.range = '5', .function = '2'}, "MHz", "123.4", {"LcdP3", "LCDM1", "LCDHz"}},
        {{.range = '6', .function = '2'}, "", "1234", {"LCDHz"}},
        {{.range = '0', .function = '2', .status = '8'},
         "kRPM",
         "12.34",
         {"LcdP2", "LCDk", "LcdRPM"}},
        {{.range = '1', .function = '2', .status = '8'},
         "kRPM",
         "123.4",
         {"LcdP3", "LCDk", "LcdRPM"}},
        {{.range = '2', .function = '2', .status = '8'},
         "MRPM",
         "1.234",
         {"LcdP1", "LCDM1", "LcdRPM"}},
        {{.range = '3', .function = '2', .status = '8'},
         "MRPM",
         "12.34",
         {"LcdP2", "LCDM1", "LcdRPM"}},
        {{.range = '4', .function = '2', .status = '8'},
         "MRPM",
         "123.4",
         {"LcdP3", "LCDM1", "LcdRPM"}},
        {{.range = '5', .function = '2', .status = '8'}, "MRPM", "1234", {"LCDM1", "LcdRPM"}},
        {{.range = '6', .function = '2', .status = '8'}, "", "1234", {"LcdRPM"}},
        {{.range = 'A', .function = '4', .status = '8'}, "#", "1234", {"LCDCS"}},
        {{.range = 'F', .function = '4'}, "?", "1234", {"LCDFS"}},
        {{.range = '0', .function = '6'}, "nF", "1.234", {"LcdP1", "LCDn", "LCDF"}},
        {{.range = '1', .function = '6'}, "nF", "12.34", {"LcdP2", "LCDn", "LCDF"}},
        {{.range = '2', .function = '6'}, "nF", "123.4", {"LcdP3", "LCDn", "LCDF"}},
        {{.range = '3', .function = '6'}, "uF", "1.234", {"LcdP1", "LCDu", "LCDF"}},
        {{.range = '4', .function = '6'}, "uF", "12.34", {"LcdP2", "LCDu", "LCDF"}},
        {{.range = '5', .function = '6'}, "uF", "123.4", {"LcdP3", "LCDu", "LCDF"}},
        {{.range = '6', .function = '6'}, "mF", "1.234", {"LcdP1", "Lcdm", "LCDF"}},
        {{.range = '7', .function = '6'}, "mF", "12.34", {"LcdP2", "Lcdm", "LCDF"}},
        {{.range = '8', .function = '6'}, "", "1234", {"LCDF"}},
        // Codes outside the table light nothing and do not read the range.
        {{.range = 'A', .function = '0'}, "", "1234", {}},
        {{.range = 'A', .function = '7'}, "", "1234", {}},
        {{.range = 'A', .function = '8'}, "", "1234", {}},
        {{.range = 'A', .function = 'A'}, "", "1234", {}},
        {{.range = 'A', .function = 'C'}, "", "1234", {}},
        {{.range = 'A', .function = 'E'}, "", "1234", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.text());
        Decode(c.frame);
        EXPECT_EQ(state.Reading.UnitText, c.unit);
        EXPECT_EQ(state.Reading.ValueText, c.value);
        EXPECT_EQ(ShownOf(state.Lcd), c.shown);
    }
}

TEST_F(DralinDecoder, FrequencyRangeZeroFollowsTheSwitchAndTheOptionForcesFrequency) {
    Decode(Dralin{.range = '0', .function = '2'});
    EXPECT_EQ(state.Reading.UnitText, "kHz");
    EXPECT_EQ(state.Reading.ValueText, "1.234");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LCDk", "LCDHz"}));

    host.ifDralin = false;
    Decode(Dralin{.range = '0', .function = '2'});
    EXPECT_EQ(state.Reading.UnitText, "Hz");
    EXPECT_EQ(state.Reading.ValueText, "1234");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LCDHz"}));
    Decode(Dralin{.range = '1', .function = '2'});
    EXPECT_EQ(state.Reading.UnitText, "kHz");

    // Status "0" with option "1": a frequency display whatever the function;
    // range 0 is kHz here even without the switch.
    Decode(Dralin{.range = '0', .function = 'B', .status = '0', .option = '1'});
    EXPECT_EQ(state.Reading.UnitText, "kHz");
    EXPECT_EQ(state.Reading.ValueText, "1.234");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LCDk", "LCDHz"}));
    // The function's own mark stays; its point and prefix go.
    Decode(Dralin{.range = '5', .function = '6', .status = '0', .option = '1'});
    EXPECT_EQ(state.Reading.UnitText, "MHz");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP3", "LCDM1", "LCDHz", "LCDF"}));
    // The ampere flag goes too; beyond range 5 the function's unit stays.
    Decode(Dralin{.range = '0', .function = '9', .status = '0', .option = '1'});
    EXPECT_EQ(state.Reading.UnitText, "kHz");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LCDk", "LCDHz"}));
    Decode(Dralin{.range = '6', .function = 'F', .status = '0', .option = '1'});
    EXPECT_EQ(state.Reading.UnitText, "A");
    EXPECT_EQ(state.Reading.ValueText, "1234");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LCDHz"}));
    Decode(Dralin{.range = '6', .function = '3', .status = '0', .option = '1'});
    EXPECT_EQ(state.Reading.UnitText, "*");
    EXPECT_EQ(state.Reading.ValueText, "1234");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LCDohm", "LCDHz"}));
    // Any other option leaves the function alone.
    Decode(Dralin{.range = '0', .function = 'B', .status = '0', .option = '2'});
    EXPECT_EQ(state.Reading.UnitText, "mV");
    EXPECT_EQ(host.offered, 9);
    // The option reads the range even for a function that does not.
    EXPECT_EQ(FailureOf(Dralin{.range = 'A', .function = '4', .status = '0', .option = '1'}.text()),
              "'A' is not a valid integer value");
    EXPECT_EQ(host.offered, 9);
}

TEST_F(DralinDecoder, DiodeAndSymbolTakeThePlaceOfTheLastDigit) {
    HideDigits();
    Decode(Dralin{.range = '7', .digits = "0567", .function = '1', .mode = '9'});
    EXPECT_EQ(state.Reading.UnitText, ")V");
    EXPECT_EQ(state.Reading.ValueText, "0.56");
    EXPECT_EQ(state.Reading.ReadingValue, 56);
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "5", "6", ""}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{true, true, true, true}));
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LcdDc1", "LcdV", "LCDDI"}));
    EXPECT_EQ(host.bar, 5);

    // An open diode: its own bar mark.
    Decode(Dralin{.range = '7', .digits = "0567", .function = '1', .status = '1', .mode = '9'});
    EXPECT_EQ(state.Reading.ValueText, ".0L");
    EXPECT_EQ(state.Reading.ReadingValue, 20001);
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "0", "@", ""}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{false, true, true, false}));
    EXPECT_EQ(host.bar, 25);

    // The LCDFm symbol: point 3 blanks as usual but stays dark.
    Decode(Dralin{.range = 'A', .digits = "0007", .function = '5'});
    EXPECT_EQ(state.Reading.UnitText, "&*");
    EXPECT_EQ(state.Reading.ValueText, "000");
    EXPECT_EQ(state.Reading.ReadingValue, 0);
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "0", "0", ""}));
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{false, false, true, true}));
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LCDohm", "LCDFm"}));
    EXPECT_EQ(state.Scale.LastPointIndex, 0);
    EXPECT_EQ(host.bar, 1);

    Decode(Dralin{.range = '0', .digits = "1234", .function = '5'});
    EXPECT_EQ(state.Reading.ValueText, "123");
    EXPECT_EQ(state.Reading.ReadingValue, 123);
    EXPECT_EQ(host.bar, 12);
}

TEST_F(DralinDecoder, LeadingZerosBlankByThePoint) {
    struct Case {
        Dralin frame;
        Shown4 shown;
    };
    const Case cases[] = {
        // No point (temperature).
        {{.digits = "0005", .function = '4'}, {false, false, false, true}},
        {{.digits = "0000", .function = '4'}, {false, false, false, true}},
        {{.digits = "0056", .function = '4'}, {false, false, true, true}},
        {{.digits = "0567", .function = '4'}, {false, true, true, true}},
        {{.digits = "5000", .function = '4'}, {true, true, true, true}},
        // Voltage with point 1, 2, 3.
        {{.range = '1', .digits = "0001"}, {true, true, true, true}},
        {{.range = '2', .digits = "0012"}, {false, true, true, true}},
        {{.range = '2', .digits = "1012"}, {true, true, true, true}},
        {{.range = '3', .digits = "0012"}, {false, false, true, true}},
        {{.range = '3', .digits = "0123"}, {false, true, true, true}},
        {{.range = '3', .digits = "1003"}, {true, true, true, true}},
        // An overload hides the first and last digit besides.
        {{.digits = "0000", .function = '4', .status = '9'}, {false, false, true, false}},
        {{.range = '1', .digits = "9999", .status = '1'}, {false, true, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.text());
        Decode(c.frame);
        EXPECT_EQ(DigitsShown(state.Lcd), c.shown);
    }
}

TEST_F(DralinDecoder, StatusAndModeBits) {
    Decode(Dralin{.range = '1', .status = '4'});
    EXPECT_EQ(state.Reading.ValueText, "-1.234");
    EXPECT_EQ(state.Reading.ReadingValue, -1234);
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdFH", "LcdP1", "LcdV"}));

    Decode(Dralin{.range = '1', .status = '2'});
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LCDBATT", "LcdV"}));

    Decode(Dralin{.range = '1', .digits = "0000", .status = '5'});
    EXPECT_EQ(state.Reading.ValueText, "-.0L");
    EXPECT_EQ(state.Reading.ReadingValue, -20001);
    EXPECT_EQ(host.bar, 20);

    struct Mode {
        char mode;
        std::string function, autoText;
        Names shown;
    };
    const Mode modes[] = {
        {'D', "DC", "MANU", {"LcdAC", "LcdDc1"}},  // both: DC wins, both marks lit
        {'5', "AC", "MANU", {"LcdAC"}},
        {'9', "DC", "MANU", {"LcdDc1"}},
        {'0', "", "MANU", {"LCDRS", "LCD232C"}},
        {'2', "", "AUTO", {"LcdAuto", "LCDRS", "LCD232C"}},
        {'3', "", "AUTO", {"LcdAuto"}},
        {'1', "", "MANU", {}},
    };
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.mode);
        Decode(Dralin{.range = '6', .function = '3', .mode = m.mode});
        EXPECT_EQ(state.Reading.FunctionText, m.function);
        EXPECT_EQ(state.Reading.AutoText, m.autoText);
        Names expected = m.shown;
        expected.push_back("LCDohm");
        EXPECT_EQ(ShownOf(state.Lcd), expected);
    }
}

TEST_F(DralinDecoder, ScaleTrackingRestartsOneBeyondFullScale) {
    const Dralin kOhms{.range = '1', .digits = "0123", .function = '3'};
    const Dralin kOver{.range = '1', .digits = "0000", .function = '3', .status = '1'};
    Dralin minusOver = kOver;
    minusOver.status = '5';

    Decode(kOhms);
    EXPECT_EQ(host.showSeriesCalls, 1);
    EXPECT_EQ(host.lastSeries, 1);
    EXPECT_EQ(state.Scale.MaxValue, -20001.0f);
    EXPECT_EQ(state.Scale.MinValue, 20001.0f);
    EXPECT_EQ(state.Scale.MaxString, "");
    EXPECT_EQ(state.Scale.LastUnitText, "k*");

    Decode(kOhms);
    EXPECT_EQ(host.showSeriesCalls, 1);
    EXPECT_EQ(state.Scale.MaxString, "0.123");
    EXPECT_EQ(state.Scale.MinString, "0.123");
    EXPECT_EQ(state.Lcd.caption(El::MaxText), "0.123");
    EXPECT_EQ(state.Lcd.caption(El::MinTextU), "k*");

    // An overload reads one beyond full scale, so it still reaches the
    // extremes a new scale starts from.
    host.fill = true;
    Decode(Dralin{.range = '2', .function = '3'});  // another scale
    EXPECT_EQ(host.lastSeries, 0);
    Decode(kOver);  // back to k* with point 1: a new scale again
    Decode(kOver);
    EXPECT_EQ(state.Scale.MaxString, ".0L");
    EXPECT_EQ(state.Scale.MinString, ".0L");

    Decode(Dralin{.range = '2', .function = '3'});
    Decode(minusOver);
    Decode(minusOver);
    EXPECT_EQ(state.Scale.MaxString, "-.0L");
    EXPECT_EQ(state.Scale.MinString, "-.0L");
    EXPECT_EQ(host.showSeriesCalls, 5);
}

TEST_F(DralinDecoder, BeepsOncePerFrameBeyondTheCount) {
    ApplyModelRow(state, *FindModelRow("34"));  // beyond is above 3402
    Decode(Dralin{.digits = "3402", .function = '4'});
    Decode(Dralin{.digits = "3402", .function = '4', .status = '4'});
    Decode(Dralin{.digits = "0000", .function = '4', .status = '1'});  // overload reads 3401
    EXPECT_EQ(host.beeps, 0);

    host.calls.clear();
    Decode(Dralin{.digits = "3403", .function = '4', .status = '8'});  // a new scale too
    EXPECT_EQ(host.beeps, 1);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"beep", "series", "clock", "record", "bar"}));
    Decode(Dralin{.digits = "3403", .function = '4', .status = '4'});
    EXPECT_EQ(host.beeps, 2);
}

TEST_F(DralinDecoder, FailureKeepsEarlierStepsAndSkipsLaterOnes) {
    Decode(Dralin{.range = '2', .digits = "0123", .mode = 'A'});
    ASSERT_EQ(DigitsShown(state.Lcd), (Shown4{false, true, true, true}));
    const std::vector<std::string> callsBefore = host.calls;

    // A range code that is no decimal digit, in a function that reads it.
    EXPECT_EQ(FailureOf(Dralin{.range = 'A', .digits = "4567", .status = '4', .mode = '4'}.text()),
              "'A' is not a valid integer value");
    EXPECT_EQ(state.Reading.FunctionText, "AC");
    EXPECT_EQ(state.Reading.AutoText, "MANU");
    EXPECT_EQ(state.Reading.UnitText, "");
    EXPECT_TRUE(state.Lcd.visible(El::LcdFH));
    EXPECT_EQ(state.Reading.ValueText, "01.23");
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "1", "2", "3"}));
    EXPECT_EQ(host.calls, callsBefore);

    // A digit that is no decimal digit: the value text is built, the value
    // fails, and the digits keep the previous frame's look.
    EXPECT_EQ(FailureOf(Dralin{.range = '3', .digits = "00C0"}.text()),
              "'00C0' is not a valid integer value");
    EXPECT_EQ(state.Reading.ValueText, "00C.0");
    EXPECT_TRUE(state.Lcd.visible(El::LcdP3));
    EXPECT_EQ(state.Reading.ReadingValue, 123);
    EXPECT_EQ(DigitsShown(state.Lcd), (Shown4{false, true, true, true}));
    EXPECT_EQ(Captions(state.Lcd), (Four{"0", "1", "2", "3"}));
    EXPECT_EQ(host.calls, callsBefore);

    // A text too short for a frame fails the same way, without a crash.
    EXPECT_EQ(FailureOf(""), "'' is not a valid integer value");
    EXPECT_EQ(FailureOf("A1"), "'' is not a valid integer value");
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(host.table.size(), 1u);
}

TEST_F(DralinDecoder, LeavesWhatOtherFamiliesDriveAlone) {
    constexpr El kUntouched[] = {El::LcdD0, El::LcdP0,    El::LCDRec, El::LCDHold,
                                 El::LCDBF, El::lcdW,     El::LCDJa,  El::LcdACDC,
                                 El::LCDBT, El::LCDTRMST, El::LCDTRMS};
    for (El e : kUntouched) {
        state.Lcd.setVisible(e, !LcdState::designVisible(e));
        state.Lcd.setCaption(e, "x");
    }
    state.Reading.JudgeText = "Fail";
    host.recordSI = true;  // records whatever the sampling mode

    Decode(Dralin{.range = '1', .digits = "0123", .mode = 'F'});
    Decode(Dralin{.range = '1', .digits = "0000", .function = '3', .status = 'F', .mode = '0'});
    Decode(Dralin{.range = '3', .function = '2', .status = '0', .option = '1'});
    Decode(Dralin{.function = '5'});

    for (El e : kUntouched) {
        SCOPED_TRACE(LcdState::name(e));
        EXPECT_EQ(state.Lcd.visible(e), !LcdState::designVisible(e));
        EXPECT_EQ(state.Lcd.caption(e), "x");
    }
    // Only the time stamp is taken: the recall clock runs for every family.
    EXPECT_EQ(state.Reading.ReadingTime, TimeOfDay(12, 34, 56));
    EXPECT_EQ(state.Reading.JudgeText, "Fail");
    EXPECT_EQ(state.Scale.AxisRange, 20000);
    EXPECT_EQ(host.offered, 4);
    EXPECT_EQ(host.verdicts, 0);
    for (const std::string& call : host.calls) {
        EXPECT_NE(call, "axis");
        EXPECT_NE(call, "measured");
    }
}

}  // namespace
}  // namespace dmm
