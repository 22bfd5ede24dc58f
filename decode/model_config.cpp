// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/model_config.h"

#include <QLocale>
#include <QRegularExpression>

#include "decode/meter_family.h"

namespace dmm {
namespace {

constexpr ModelRow kModelTable[] = {
    {"4", 40000, 40, false, 0},
    {"6", 6000, 60, true, 0},
    {"34", 3400, 34, true, 0},
    {"2", 20000, 20, true, 20},
};

}  // namespace

std::optional<ModelRow> FindModelRow(std::string_view code) {
    for (const auto& row : kModelTable) {
        if (row.code == code)
            return row;
    }
    return std::nullopt;
}

void ApplyModelRow(MeterState& state, const ModelRow& row) {
    state.Model.ModelCode = std::string(row.code);
    state.Scale.AxisRange = row.count;
    state.Model.BarFull = row.barFull;
    state.Model.CountCeiling = float(row.count + 2);
    state.Model.CountFloor = -float(row.count + 2);
    state.Scale.MaxValue = -float(row.count + 1);
    state.Scale.MinValue = float(row.count + 1);
    if (row.setsMinMaxText) {
        state.Lcd.setCaption(El::MinText, std::to_string(row.count + 1));
        state.Lcd.setCaption(El::MaxText, std::to_string(-(row.count + 1)));
    }
}

namespace {

// Steps 6 to 11 of start-up for a model code: the default row first, then
// the code's own row with its captions and bar maximum.
void ApplyModelCode(MeterState& state, std::string_view code, StartupResult& result) {
    state.Model.ModelCode = std::string(code);
    if (state.Model.ModelCode != "4") {
        const ModelRow row = *FindModelRow(state.Model.ModelCode);
        ApplyModelRow(state, row);
        if (row.pbarMaximum != 0)
            result.pbarMaximum = row.pbarMaximum;
    }
    result.axisMinimum = -state.Scale.AxisRange;
    result.axisMaximum = state.Scale.AxisRange;
}

void StartState(MeterState& state, std::string_view decimalSep, double now) {
    state.DecimalSep = std::string(decimalSep);
    state.Reading.ReadingTime = now;
    ApplyModelRow(state, *FindModelRow("4"));
    state.Scale.LastUnitText = "113";  // matches no unit: the first frame is a scale change
}

}  // namespace

StartupResult ApplyStartup(MeterState& state, bool ifDralin, std::string_view decimalSep,
                           double now) {
    StartupResult result;
    StartState(state, decimalSep, now);
    result.caption = std::string(kDesignCaption);
    if (ifDralin) {
        result.serialHandlerWired = true;
        result.caption = std::string(kProgramCaption);
        state.Lcd.setCaption(El::LcdD0, "1");
    }
    ApplyModelCode(state, ifDralin ? "2" : "4", result);
    return result;
}

StartupResult ApplyFamilyStartup(MeterState& state, Family family, std::string_view decimalSep,
                                 double now) {
    const FamilyFacts& facts = FactsOf(family);
    StartupResult result;
    StartState(state, decimalSep, now);
    result.family = family;
    result.serialHandlerWired = true;
    result.caption = std::string(kProgramCaption);
    state.Lcd.setCaption(El::LcdD0, facts.firstDigit);
    ApplyModelCode(state, facts.modelCode, result);
    return result;
}

std::string SystemDecimalSep() {
    return QLocale::system().decimalPoint().toStdString();
}

char TimeSepFromFormat(const QString& format) {
    // The text between the hour field and the minute field is the separator,
    // when it is one a spreadsheet reads as such. Some locales write the
    // hours with a quoted letter ("HH 'h' mm"), which is no separator at all.
    const qsizetype hour = format.indexOf(QRegularExpression(QStringLiteral("[hH]")));
    if (hour < 0)
        return ':';
    qsizetype after = hour;
    while (after < format.size() && (format.at(after) == u'h' || format.at(after) == u'H'))
        ++after;
    const qsizetype minute = format.indexOf(u'm', after);
    const QString between = format.mid(after, minute - after);
    if (minute > after && (between == u":" || between == u"."))
        return char(between.at(0).unicode());
    return ':';
}

char SystemTimeSep() {
    return TimeSepFromFormat(QLocale::system().timeFormat(QLocale::ShortFormat));
}

}  // namespace dmm
