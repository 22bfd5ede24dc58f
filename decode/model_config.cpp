#include "decode/model_config.h"

#include <QLocale>

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

StartupResult ApplyStartup(MeterState& state, bool ifDralin, std::string_view decimalSep,
                           double now) {
    StartupResult result;
    state.DecimalSep = std::string(decimalSep);
    state.Reading.ReadingTime = now;
    ApplyModelRow(state, *FindModelRow("4"));
    state.Scale.LastUnitText = "113";  // matches no unit: the first frame is a scale change
    result.caption = std::string(kDesignCaption);
    if (ifDralin) {
        result.serialHandlerWired = true;
        result.caption = "TarvoMeter Interface Program Ver: 3.00";
        state.Model.ModelCode = "2";
        state.Lcd.setCaption(El::LcdD0, "1");
    }
    if (state.Model.ModelCode != "4") {
        const ModelRow row = *FindModelRow(state.Model.ModelCode);
        ApplyModelRow(state, row);
        if (row.pbarMaximum != 0)
            result.pbarMaximum = row.pbarMaximum;
    }
    result.axisMinimum = -state.Scale.AxisRange;
    result.axisMaximum = state.Scale.AxisRange;
    return result;
}

std::string SystemDecimalSep() {
    return QLocale::system().decimalPoint().toStdString();
}

char SystemTimeSep() {
    // The short time format puts the separator right after the hour field.
    const QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    for (qsizetype i = 0; i + 1 < format.size(); ++i) {
        const QChar c = format.at(i);
        if ((c == u'h' || c == u'H') && !format.at(i + 1).isLetter() &&
            format.at(i + 1).unicode() < 128 && format.at(i + 1) != u' ') {
            return char(format.at(i + 1).unicode());
        }
    }
    return ':';
}

}  // namespace dmm
