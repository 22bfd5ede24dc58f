#pragma once
// What a decoder needs beyond the LCD model and the shared state: the widget
// states it reads and the effects it has elsewhere in the program. The window
// implements it over its widgets, chart and reading log; tests and dmmlog
// implement it too. Calls arrive in the decoder's step order, so a decoder
// that fails part-way has made exactly the calls of the steps before.

#include <string>

namespace dmm {

enum class Verdict { Pass, Fail };

class DecoderHost {
  public:
    virtual ~DecoderHost() = default;

    // Widget states read on every frame.
    virtual bool BtFillChecked() = 0;    // area rendering chosen
    virtual bool RecordSIChecked() = 0;  // interval sampling on
    virtual bool IFDralinChecked() = 0;  // configuration switch
    virtual std::string T1HIText() = 0;  // high limit box
    virtual std::string T1LOText() = 0;  // low limit box

    // The chart's value axis spans minimum .. maximum.
    virtual void SetValueAxis(double minimum, double maximum) = 0;
    // Show only the series with this index (0 area, 1 line).
    virtual void ShowSeries(int index) = 0;
    // The measured-value box shows the value text.
    virtual void SetMeasuredValue(const std::string& valueText) = 0;
    // The verdict lamp, its caption and the value box colour.
    virtual void ShowVerdict(Verdict verdict) = 0;
    // Runs the recall clock's advance step; returns the reading's time stamp.
    virtual double AdvanceRecallClock() = 0;
    // Offers the current reading to the reading log.
    virtual void INDataToTable(int unused) = 0;
    // Position of the bar graph.
    virtual void SetBarPosition(int position) = 0;
    // The alarm beep for a reading beyond the model's count.
    virtual void Beep() = 0;
};

}  // namespace dmm
