// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLocale>

#include "decode/model_config.h"

namespace dmm {
namespace {

TEST(ModelConfig, BuiltConfigurationIsTarvoModelTwo) {
    MeterState s;
    const StartupResult r = ApplyStartup(s, true, ",", 45000.5);
    EXPECT_EQ(r.family, Family::Tarvo);
    EXPECT_TRUE(r.serialHandlerWired);
    EXPECT_EQ(r.caption, "TarvoMeter Interface Program Ver: 3.00");
    EXPECT_EQ(s.Model.ModelCode, "2");
    EXPECT_EQ(s.Scale.AxisRange, 20000);
    EXPECT_EQ(s.Model.BarFull, 20);
    EXPECT_EQ(s.Model.CountCeiling, 20002.0f);
    EXPECT_EQ(s.Model.CountFloor, -20002.0f);
    EXPECT_EQ(s.Scale.MaxValue, -20001.0f);
    EXPECT_EQ(s.Scale.MinValue, 20001.0f);
    EXPECT_EQ(s.Scale.LastUnitText, "113");
    EXPECT_EQ(r.pbarMaximum, 20);
    EXPECT_EQ(r.axisMinimum, -20000);
    EXPECT_EQ(r.axisMaximum, 20000);
    EXPECT_EQ(s.Lcd.caption(El::LcdD0), "1");
    EXPECT_EQ(s.Lcd.caption(El::MinText), "20001");
    EXPECT_EQ(s.Lcd.caption(El::MaxText), "-20001");
    EXPECT_EQ(s.DecimalSep, ",");
    EXPECT_EQ(s.Reading.ReadingTime, 45000.5);
    // The panel before the first frame: minus sign and 1 9 9 9 9, no point,
    // no annunciator, the link picture dark.
    EXPECT_TRUE(s.Lcd.visible(El::LcdFH));
    EXPECT_FALSE(s.Lcd.visible(El::LcdP1));
    EXPECT_FALSE(s.Lcd.visible(El::LcdAuto));
    EXPECT_TRUE(s.Lcd.visible(El::CONokN));
    EXPECT_FALSE(s.Lcd.visible(El::CONok));
    EXPECT_EQ(s.Lcd.caption(El::LcdDd), "9");
    EXPECT_EQ(LcdState::byName("LCDohm"), El::LCDohm);
    EXPECT_FALSE(LcdState::byName("Nope").has_value());
}

TEST(ModelConfig, WithoutTheSwitchModelFourStays) {
    MeterState s;
    const StartupResult r = ApplyStartup(s, false, ".", 0);
    EXPECT_FALSE(r.serialHandlerWired);
    EXPECT_EQ(r.caption, "TARVOMETR");
    EXPECT_EQ(s.Model.ModelCode, "4");
    EXPECT_EQ(r.axisMaximum, 40000);
    EXPECT_EQ(r.pbarMaximum, 40);
    EXPECT_EQ(s.Model.BarFull, 40);
    EXPECT_EQ(s.Lcd.caption(El::LcdD0), "3");
    EXPECT_EQ(s.Lcd.caption(El::MinText), "40001");  // the design's captions stay
    EXPECT_EQ(s.Scale.MinValue, 40001.0f);

    // The other rows of the model table.
    ApplyModelRow(s, *FindModelRow("34"));
    EXPECT_EQ(s.Scale.AxisRange, 3400);
    EXPECT_EQ(s.Model.BarFull, 34);
    EXPECT_EQ(s.Lcd.caption(El::MaxText), "-3401");
    ApplyModelRow(s, *FindModelRow("6"));
    EXPECT_EQ(s.Model.CountCeiling, 6002.0f);
    EXPECT_FALSE(FindModelRow("5").has_value());
}

TEST(ModelConfig, TimeSeparatorIsOnlyWhatStandsBetweenHoursAndMinutes) {
    // Canadian French writes "12 h 34": no separator a spreadsheet would read.
    const QLocale canadianFrench(QLocale::French, QLocale::Canada);
    EXPECT_EQ(TimeSepFromFormat(canadianFrench.timeFormat(QLocale::ShortFormat)), ':');
    EXPECT_EQ(TimeSepFromFormat(QStringLiteral("H.mm")), '.');
    EXPECT_EQ(TimeSepFromFormat(QStringLiteral("h:mm AP")), ':');
}

}  // namespace
}  // namespace dmm
