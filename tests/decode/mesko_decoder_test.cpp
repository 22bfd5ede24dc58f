// SPDX-License-Identifier: GPL-3.0-or-later
// The Mesko decoder: segment frames in, LCD state and reading out.

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

// High character and low three bits of the low character of each digit the
// meter shows, from its segment code table; ' ' is a digit with no segment.
std::pair<int, int> Segments(char digit) {
    switch (digit) {
        case '0':
            return {0xD, 7};
        case '1':
            return {0x5, 0};
        case '2':
            return {0xB, 5};
        case '3':
            return {0xF, 1};
        case '4':
            return {0x7, 2};
        case '5':
            return {0xE, 3};
        case '6':
            return {0xE, 7};
        case '7':
            return {0x5, 1};
        case '8':
            return {0xF, 7};
        case '9':
            return {0xF, 3};
        case '@':
            return {0x8, 6};
        default:
            return {0, 0};
    }
}

// One Mesko frame described by what the LCD shows.
struct Mesko {
    int c1 = 0;
    std::string_view digits = "1234";
    bool minus = false;
    std::array<bool, 3> points{};
    int c10 = 0, c11 = 0, c12 = 0, c13 = 0, c14 = 0;

    std::array<int, 15> chars() const {
        std::array<int, 15> c{};
        c[1] = c1;
        for (size_t n = 1; n <= 4; ++n) {
            const auto [h, l] = Segments(digits[n - 1]);
            c[2 * n + 1] = h;
            c[2 * n] = l;
        }
        if (minus)
            c[2] |= 8;
        for (size_t i = 0; i < 3; ++i) {
            if (points[i])
                c[4 + 2 * i] |= 8;
        }
        c[10] = c10;
        c[11] = c11;
        c[12] = c12;
        c[13] = c13;
        c[14] = c14;
        return c;
    }
    std::string text() const {
        std::string s;
        const auto c = chars();
        for (size_t k = 1; k <= 14; ++k)
            s += HexDigit(unsigned(c[k]));
        return s;
    }
    // The bytes on the line: high four bits count 1..E.
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b;
        const auto c = chars();
        for (size_t k = 1; k <= 14; ++k)
            b.push_back(uint8_t(k << 4 | unsigned(c[k])));
        return b;
    }
};

// Every element the Mesko frame switches.
constexpr El kMapped[] = {El::LcdFH,   El::LcdP1, El::LcdP2,   El::LcdP3,  El::LcdAC,
                          El::LcdAuto, El::LCDRS, El::LCD232C, El::LCDu,   El::LCDn,
                          El::LCDk,    El::LCDDI, El::Lcdm,    El::LCDBF,  El::LCDM1,
                          El::LCDFm,   El::LCDF,  El::LCDohm,  El::LCDRec, El::LCDHold,
                          El::LCDA,    El::LcdV,  El::LCDBATT, El::LCDCS,  El::LCDHz};

std::vector<std::string> ShownOf(const LcdState& lcd) {
    std::vector<std::string> shown;
    for (El e : kMapped) {
        if (lcd.visible(e))
            shown.emplace_back(LcdState::name(e));
    }
    return shown;
}

using Names = std::vector<std::string>;

std::array<std::string, 4> Captions(const LcdState& lcd) {
    return {lcd.caption(El::LcdDa), lcd.caption(El::LcdDb), lcd.caption(El::LcdDc),
            lcd.caption(El::LcdDd)};
}
using Four = std::array<std::string, 4>;

class MeskoDecoder : public ::testing::Test {
  protected:
    MeskoDecoder() { ApplyStartup(state, true, ".", 0); }

    void Decode(const Mesko& frame) { Decode(frame.text()); }
    void Decode(const std::string& frameText) {
        state.FrameText = frameText;
        LcdDisplayMesko(state, host);
    }
    // The message of the conversion error the frame raises, or "" if none.
    std::string FailureOf(const Mesko& frame) {
        try {
            Decode(frame);
        } catch (const ConversionError& e) {
            return e.what();
        }
        return "";
    }

    MeterState state;
    test::RecordingHost host{state};
};

// AC, auto range, "1", "2", "3", "4" with point 2 and volts.
const Mesko kAcVolts{.c1 = 0xA, .digits = "1234", .points = {false, true, false}, .c13 = 4};

TEST_F(MeskoDecoder, SegmentFrameFromTheSerialLine) {
    // The frame as the meter sends it, and the text our description makes.
    const std::vector<uint8_t> wire = {0x1A, 0x20, 0x35, 0x45, 0x5B, 0x69, 0x7F,
                                       0x82, 0x97, 0xA0, 0xB0, 0xC0, 0xD4, 0xE0};
    ASSERT_EQ(kAcVolts.bytes(), wire);
    ASSERT_EQ(kAcVolts.text(), "A055B9F2700040");

    for (El e : kMapped)
        state.Lcd.show(e);
    state.NoFrameTicks = 7;
    // A frame that lost its sixth byte comes first and is dropped at its 0xE byte.
    std::vector<uint8_t> chunk = wire;
    chunk.erase(chunk.begin() + 5);
    chunk.insert(chunk.end(), wire.begin(), wire.end());
    FrameReceiver receiver(state, host);
    receiver.HMeskoRData(chunk.data(), int32_t(chunk.size()));

    const CurrentReading& r = state.Reading;
    EXPECT_EQ(r.FunctionText, "AC");
    EXPECT_EQ(r.AutoText, "AUTO");
    EXPECT_EQ(r.UnitText, "V");
    EXPECT_EQ(r.ValueText, "12.34");
    EXPECT_EQ(r.ReadingValue, 1234);
    EXPECT_EQ(state.Scale.LastPointIndex, 2);
    EXPECT_EQ(host.bar, 12);
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP2", "LcdAC", "LcdAuto", "LcdV"}));
    EXPECT_EQ(Captions(state.Lcd), (Four{"1", "2", "3", "4"}));
    EXPECT_TRUE(state.Lcd.visible(El::CONok));
    EXPECT_FALSE(state.Lcd.visible(El::CONokN));
    EXPECT_EQ(state.NoFrameTicks, 0);
    EXPECT_EQ(host.axisMin, -20000);
    EXPECT_EQ(host.axisMax, 20000);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"axis", "series", "clock", "record", "bar"}));
    ASSERT_EQ(host.table.size(), 1u);
    EXPECT_EQ(host.table.text(0, Field::Value), "12.34");
    EXPECT_EQ(host.table.text(0, Field::DcAc), "AC");
}

// Rows stamped by the recall clock are evenly spaced for this family too.
TEST_F(MeskoDecoder, TheRecallClockMovesOnAtEveryFrame) {
    host.recall = true;
    host.timeInt = "2";
    host.clock.Load("10", "00", "00");
    for (int i = 0; i < 3; ++i)
        Decode(kAcVolts);
    ASSERT_EQ(host.table.size(), 3u);
    EXPECT_EQ(host.table.text(0, Field::Time), "10:00:02");
    EXPECT_EQ(host.table.text(2, Field::Time), "10:00:06");
}

TEST_F(MeskoDecoder, FrameFromCableReports) {
    // Two data reports of seven meter bytes, then an idle report.
    const std::vector<uint8_t> b = kAcVolts.bytes();
    std::vector<uint8_t> first = {0x07};
    first.insert(first.end(), b.begin(), b.begin() + 7);
    std::vector<uint8_t> second = {0x07};
    second.insert(second.end(), b.begin() + 7, b.end());
    const uint8_t idle[] = {0x00, 0x00};
    FrameReceiver receiver(state, host);
    receiver.HMeskoHidData(0, first.data(), uint16_t(first.size()));
    receiver.HMeskoHidData(0, second.data(), uint16_t(second.size()));
    EXPECT_EQ(host.offered, 0);
    receiver.HMeskoHidData(0, idle, sizeof idle);
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.Reading.ValueText, "12.34");
}

TEST_F(MeskoDecoder, DecodeFailureEndsTheChunkAndTheNextFrameDecodes) {
    const Mesko blank{.digits = "    "};
    std::vector<uint8_t> chunk = blank.bytes();
    const std::vector<uint8_t> good = kAcVolts.bytes();
    chunk.insert(chunk.end(), good.begin(), good.end());
    FrameReceiver receiver(state, host);
    EXPECT_THROW(receiver.HMeskoRData(chunk.data(), int32_t(chunk.size())), ConversionError);
    EXPECT_EQ(host.offered, 0);  // the good frame after the failure went with the chunk

    receiver.HMeskoRData(good.data(), int32_t(good.size()));
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.Reading.ValueText, "12.34");
}

TEST_F(MeskoDecoder, SegmentCodesGiveDigitsAndOtherCodesABlank) {
    // Each digit in each place, once plain and once with the sign and all
    // points lit, whose bits share the low characters with the segments.
    for (const bool marks : {false, true}) {
        for (size_t place = 0; place < 4; ++place) {
            for (const char digit : std::string_view("0123456789")) {
                std::string digits = "8888";
                digits[place] = digit;
                SCOPED_TRACE(digits + (marks ? " with marks" : ""));
                Decode(Mesko{.digits = digits, .minus = marks, .points = {marks, marks, marks}});
                EXPECT_EQ(Captions(state.Lcd)[place], std::string(1, digit));
                EXPECT_EQ(state.Reading.ReadingValue, (marks ? -1 : 1) * std::stod(digits));
            }
        }
    }

    // The overload letter belongs to digit 3; elsewhere its code is a blank.
    Decode(Mesko{.digits = "10@8"});
    EXPECT_EQ(Captions(state.Lcd), (Four{"1", "0", "@", "8"}));
    Decode(Mesko{.digits = "@888"});
    EXPECT_EQ(Captions(state.Lcd), (Four{"", "8", "8", "8"}));
    Decode(Mesko{.digits = "8@88"});
    EXPECT_EQ(Captions(state.Lcd), (Four{"8", "", "8", "8"}));
    Decode(Mesko{.digits = "888@"});
    EXPECT_EQ(Captions(state.Lcd), (Four{"8", "8", "8", ""}));
    EXPECT_EQ(state.Reading.ValueText, "888");
    EXPECT_EQ(state.Reading.ReadingValue, 888);

    // A "0" with one segment missing (D, 6), and no segment at all.
    Decode(std::string("06D055B1F00000"));
    EXPECT_EQ(Captions(state.Lcd), (Four{"", "1", "2", "3"}));
    EXPECT_EQ(state.Reading.ReadingValue, 123);
}

TEST_F(MeskoDecoder, FirstCharacterGivesCouplingRangeModeAndLinkMarks) {
    struct Case {
        int c1;
        std::string function, autoText;
        Names shown;
    };
    const Case cases[] = {
        {0x8, "AC", "MANU", {"LcdAC"}},
        {0xC, "DC", "MANU", {"LcdAC"}},  // both: DC wins, the AC mark stays lit
        {0x4, "DC", "MANU", {}},
        {0x2, "", "AUTO", {"LcdAuto"}},
        {0x1, "", "MANU", {"LCDRS", "LCD232C"}},
        {0xF, "DC", "AUTO", {"LcdAC", "LcdAuto", "LCDRS", "LCD232C"}},
        {0x0, "", "MANU", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.c1);
        Decode(Mesko{.c1 = c.c1});
        EXPECT_EQ(state.Reading.FunctionText, c.function);
        EXPECT_EQ(state.Reading.AutoText, c.autoText);
        EXPECT_EQ(ShownOf(state.Lcd), c.shown);
    }
}

TEST_F(MeskoDecoder, AnnunciatorBitsLightTheirElementsAndSpellTheUnit) {
    struct Case {
        int c10, c11, c12, c13;
        std::string unit;
        Names shown;
    };
    const Case cases[] = {
        // One bit at a time.
        {8, 0, 0, 0, "u", {"LCDu"}},
        {4, 0, 0, 0, "n", {"LCDn"}},
        {2, 0, 0, 0, "k", {"LCDk"}},
        {1, 0, 0, 0, "", {"LCDDI"}},
        {0, 8, 0, 0, "m", {"Lcdm"}},
        {0, 4, 0, 0, "%", {"LCDBF"}},
        {0, 2, 0, 0, "M", {"LCDM1"}},
        {0, 1, 0, 0, "", {"LCDFm"}},
        {0, 0, 8, 0, "F", {"LCDF"}},
        {0, 0, 4, 0, "*", {"LCDohm"}},
        {0, 0, 2, 0, "", {"LCDRec"}},
        {0, 0, 1, 0, "", {"LCDHold"}},
        {0, 0, 0, 8, "A", {"LCDA"}},
        {0, 0, 0, 4, "V", {"LcdV"}},
        {0, 0, 0, 1, "", {"LCDBATT"}},
        // Prefix before unit.
        {0, 8, 0, 4, "mV", {"Lcdm", "LcdV"}},
        {2, 0, 4, 0, "k*", {"LCDk", "LCDohm"}},
        {8, 0, 8, 0, "uF", {"LCDu", "LCDF"}},
        {4, 0, 8, 1, "nF", {"LCDn", "LCDF", "LCDBATT"}},
        {0, 2, 4, 0, "M*", {"LCDM1", "LCDohm"}},
        {0, 2, 0, 2, "MHz", {"LCDM1", "LCDHz"}},
        {0, 0, 0, 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        Decode(Mesko{.c10 = c.c10, .c11 = c.c11, .c12 = c.c12, .c13 = c.c13});
        EXPECT_EQ(state.Reading.UnitText, c.unit);
        EXPECT_EQ(ShownOf(state.Lcd), c.shown);
    }
}

TEST_F(MeskoDecoder, TemperatureAndFrequency) {
    // Temperature replaces the unit and the function, whatever prefix is lit.
    Decode(Mesko{.c1 = 0xA, .c11 = 8, .c13 = 4, .c14 = 1});
    EXPECT_EQ(state.Reading.UnitText, "#");
    EXPECT_EQ(state.Reading.FunctionText, "");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdAC", "LcdAuto", "Lcdm", "LcdV", "LCDCS"}));
    EXPECT_EQ(host.axisMax, 20000);

    // Frequency: the meter ranges by itself, so AUTO whatever char 1 says,
    // while the auto mark follows char 1; the axis spans 5000 either way.
    Decode(Mesko{.c1 = 0x8, .c10 = 2, .c13 = 2});
    EXPECT_EQ(state.Reading.UnitText, "kHz");
    EXPECT_EQ(state.Reading.AutoText, "AUTO");
    EXPECT_EQ(state.Reading.FunctionText, "AC");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdAC", "LCDk", "LCDHz"}));
    EXPECT_EQ(host.axisMin, -5000);
    EXPECT_EQ(host.axisMax, 5000);
    EXPECT_EQ(state.Scale.AxisRange, 20000);

    // With both bits, frequency wins and the Celsius mark stays dark.
    Decode(Mesko{.c1 = 0x4, .c13 = 2, .c14 = 1});
    EXPECT_EQ(state.Reading.UnitText, "Hz");
    EXPECT_EQ(state.Reading.FunctionText, "DC");
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LCDHz"}));

    Decode(Mesko{.c13 = 4});
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdV"}));
    EXPECT_EQ(state.Reading.AutoText, "MANU");
    EXPECT_EQ(host.axisMin, -20000);
    EXPECT_EQ(host.axisMax, 20000);
}

TEST_F(MeskoDecoder, OverloadReadsFullScale) {
    Decode(Mesko{.digits = " 0@ ", .points = {false, true, false}, .c12 = 4});
    EXPECT_EQ(state.Reading.ValueText, "0.L");
    EXPECT_EQ(state.Reading.ReadingValue, 20000);
    EXPECT_EQ(host.bar, 20);
    EXPECT_EQ(Captions(state.Lcd), (Four{"", "0", "@", ""}));

    Decode(Mesko{.digits = " 0@ ", .minus = true, .points = {false, true, false}, .c12 = 4});
    EXPECT_EQ(state.Reading.ValueText, "-0.L");
    EXPECT_EQ(state.Reading.ReadingValue, -20000);
    EXPECT_EQ(host.bar, 20);
    EXPECT_TRUE(state.Lcd.visible(El::LcdFH));

    // The full scale is the model's count.
    ApplyModelRow(state, *FindModelRow("6"));
    Decode(Mesko{.digits = "10@9"});
    EXPECT_EQ(state.Reading.ValueText, "10L9");
    EXPECT_EQ(state.Reading.ReadingValue, 6000);
    EXPECT_EQ(host.bar, 60);
}

TEST_F(MeskoDecoder, PointsUseTheSeparatorAndTheLastLitCounts) {
    state.DecimalSep = ",";
    Decode(Mesko{.digits = "1234", .points = {true, false, true}, .c13 = 4});
    EXPECT_EQ(state.Reading.ValueText, "1,23,4");
    EXPECT_EQ(state.Reading.ReadingValue, 1234);
    EXPECT_EQ(state.Scale.LastPointIndex, 3);
    EXPECT_EQ(ShownOf(state.Lcd), (Names{"LcdP1", "LcdP3", "LcdV"}));

    Decode(Mesko{.digits = "1234", .c13 = 4});
    EXPECT_EQ(state.Reading.ValueText, "1234");
    EXPECT_EQ(state.Scale.LastPointIndex, 0);
}

TEST_F(MeskoDecoder, ScaleTrackingWithinOneUnitAndPoint) {
    const auto volts = [](std::string_view digits, std::array<bool, 3> points) {
        return Mesko{.digits = digits, .points = points, .c13 = 4};
    };
    constexpr std::array<bool, 3> p2 = {false, true, false};

    // The first frame is a new scale: series reselected, extremes restarted
    // at the full scale, this reading not compared.
    Decode(volts("1234", p2));
    EXPECT_EQ(host.showSeriesCalls, 1);
    EXPECT_EQ(host.lastSeries, 1);
    EXPECT_EQ(state.Scale.LastUnitText, "V");
    EXPECT_EQ(state.Scale.MaxValue, -20000.0f);
    EXPECT_EQ(state.Scale.MinValue, 20000.0f);
    EXPECT_EQ(state.Scale.MaxString, "");
    EXPECT_EQ(state.Scale.MinString, "");
    EXPECT_EQ(state.Lcd.caption(El::MaxTextU), "V");

    Decode(volts("1234", p2));
    Decode(volts("1300", p2));
    Decode(volts("1100", p2));
    EXPECT_EQ(host.showSeriesCalls, 1);
    EXPECT_EQ(state.Scale.MaxString, "13.00");
    EXPECT_EQ(state.Scale.MinString, "11.00");
    EXPECT_EQ(state.Scale.MaxValue, 1300.0f);
    EXPECT_EQ(state.Scale.MinValue, 1100.0f);
    EXPECT_EQ(state.Lcd.caption(El::MaxText), "13.00");
    EXPECT_EQ(state.Lcd.caption(El::MinText), "11.00");

    // Another point is another scale; the texts stay until a reading replaces them.
    host.fill = true;
    Decode(volts("1234", {true, false, false}));
    EXPECT_EQ(host.showSeriesCalls, 2);
    EXPECT_EQ(host.lastSeries, 0);
    EXPECT_EQ(state.Scale.MaxString, "13.00");
    EXPECT_EQ(state.Scale.MaxValue, -20000.0f);
    EXPECT_EQ(state.Scale.LastPointIndex, 1);

    // So is another unit at the same point.
    Decode(Mesko{.digits = "1234", .points = {true, false, false}, .c11 = 8, .c13 = 4});
    EXPECT_EQ(host.showSeriesCalls, 3);
    EXPECT_EQ(state.Lcd.caption(El::MinTextU), "mV");
}

TEST_F(MeskoDecoder, ReadingsEqualToTheRestartedExtremesCount) {
    const Mesko plus{.digits = " 0@ ", .points = {false, true, false}, .c12 = 4};
    Mesko minus = plus;
    minus.minus = true;

    Decode(plus);  // new scale: extremes at -20000 and 20000
    Decode(plus);  // 20000 is both >= the highest and <= the lowest
    EXPECT_EQ(state.Scale.MaxString, "0.L");
    EXPECT_EQ(state.Scale.MinString, "0.L");

    Decode(Mesko{.digits = "1234"});  // another scale
    Decode(minus);                    // back: new scale again
    Decode(minus);
    EXPECT_EQ(state.Scale.MaxString, "-0.L");
    EXPECT_EQ(state.Scale.MinString, "-0.L");
}

TEST_F(MeskoDecoder, BeepsOncePerFrameBeyondTheCount) {
    ApplyModelRow(state, *FindModelRow("34"));  // count 3400: beyond is above 3402
    Decode(Mesko{.digits = "3402"});
    Decode(Mesko{.digits = "3402", .minus = true});
    Decode(Mesko{.digits = "10@ "});  // overload reads 3400
    EXPECT_EQ(host.beeps, 0);

    host.calls.clear();
    Decode(Mesko{.digits = "3403", .c13 = 4});  // a new scale too
    EXPECT_EQ(host.beeps, 1);
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"axis", "beep", "series", "clock", "record", "bar"}));
    Decode(Mesko{.digits = "3403", .minus = true});
    EXPECT_EQ(host.beeps, 2);
}

TEST_F(MeskoDecoder, FailureKeepsEarlierStepsAndSkipsLaterOnes) {
    Decode(kAcVolts);
    const size_t callsBefore = host.calls.size();

    // All four digits blank: the value fails after the value text was built.
    const Mesko blank{
        .c1 = 0x4, .digits = "    ", .points = {true, false, false}, .c11 = 8, .c13 = 4};
    EXPECT_EQ(FailureOf(blank), "'' is not a valid integer value");
    EXPECT_EQ(state.Reading.UnitText, "mV");
    EXPECT_EQ(state.Reading.FunctionText, "DC");
    EXPECT_EQ(state.Reading.ValueText, ".");
    EXPECT_TRUE(state.Lcd.visible(El::LcdP1));
    EXPECT_EQ(state.Reading.ReadingValue, 1234);
    EXPECT_EQ(Captions(state.Lcd), (Four{"1", "2", "3", "4"}));
    EXPECT_EQ(state.Scale.LastUnitText, "V");
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(host.table.size(), 1u);
    EXPECT_EQ(host.bar, 12);
    EXPECT_EQ(std::vector<std::string>(host.calls.begin() + long(callsBefore), host.calls.end()),
              (std::vector<std::string>{"axis"}));

    EXPECT_EQ(FailureOf(Mesko{.digits = "    ", .minus = true}),
              "'-' is not a valid integer value");
    // The overload letter without a "0" before it is no number.
    EXPECT_EQ(FailureOf(Mesko{.digits = " 5@ "}), "'5@' is not a valid integer value");
    EXPECT_EQ(host.offered, 1);

    // Two blank leading digits: the reading is recorded, then the bar fails.
    EXPECT_EQ(FailureOf(Mesko{.digits = "  42", .c13 = 4}), "'' is not a valid integer value");
    EXPECT_EQ(state.Reading.ReadingValue, 42);
    EXPECT_EQ(Captions(state.Lcd), (Four{"", "", "4", "2"}));
    EXPECT_EQ(host.offered, 2);
    ASSERT_EQ(host.table.size(), 2u);
    EXPECT_EQ(host.table.text(1, Field::Value), "42");
    EXPECT_EQ(host.bar, 12);
    EXPECT_EQ(host.calls.back(), "record");

    // One leading digit is enough for the bar.
    Decode(Mesko{.digits = " 150"});
    EXPECT_EQ(host.bar, 1);
    Decode(Mesko{.digits = " 750"});
    EXPECT_EQ(host.bar, 7);
}

TEST_F(MeskoDecoder, LeavesWhatOtherFamiliesDriveAlone) {
    constexpr El kUntouched[] = {El::LcdD0,  El::LcdP0,    El::LcdDc1, El::LCDFS,
                                 El::LcdRPM, El::lcdW,     El::LCDJa,  El::LcdACDC,
                                 El::LCDBT,  El::LCDTRMST, El::LCDTRMS};
    for (El e : kUntouched) {
        state.Lcd.setVisible(e, !LcdState::designVisible(e));
        state.Lcd.setCaption(e, "x");
    }
    // The digits' visibility is not the Mesko decoder's either.
    state.Lcd.hide(El::LcdDa);
    state.Lcd.hide(El::LcdDc);
    state.Reading.JudgeText = "pass";
    host.recordSI = true;  // records whatever the sampling mode

    Decode(kAcVolts);
    Decode(Mesko{.c10 = 2, .c13 = 2});
    Decode(Mesko{.c1 = 0xF, .digits = " 0@ ", .c14 = 1});
    Decode(Mesko{.c10 = 0xF, .c11 = 0xF, .c12 = 0xF, .c13 = 0xF, .c14 = 0xF});

    for (El e : kUntouched) {
        SCOPED_TRACE(LcdState::name(e));
        EXPECT_EQ(state.Lcd.visible(e), !LcdState::designVisible(e));
        EXPECT_EQ(state.Lcd.caption(e), "x");
    }
    EXPECT_FALSE(state.Lcd.visible(El::LcdDa));
    EXPECT_TRUE(state.Lcd.visible(El::LcdDb));
    EXPECT_FALSE(state.Lcd.visible(El::LcdDc));
    // Only the time stamp is taken: the recall clock runs for every family.
    EXPECT_EQ(state.Reading.ReadingTime, TimeOfDay(12, 34, 56));
    EXPECT_EQ(state.Reading.JudgeText, "pass");
    EXPECT_EQ(state.Scale.AxisRange, 20000);
    EXPECT_EQ(host.offered, 4);
    EXPECT_EQ(host.verdicts, 0);
    for (const std::string& call : host.calls) {
        EXPECT_NE(call, "measured");
    }
}

}  // namespace
}  // namespace dmm
