// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a decoder needs beyond the LCD model and the shared state: the switch
// and box states it reads, the recording it triggers, and the effects it has
// on what is drawn. The recording session (record/recording_session.h) is the
// host of every front end; what it draws goes on to a DecoderDisplay, the
// window's widgets. Calls arrive in the decoder's step order, so a decoder
// that fails part-way has made exactly the calls of the steps before.

#include <string>

namespace dmm {

enum class Verdict { Pass, Fail };

// The drawn half: a front end that draws nothing leaves these as they are.
class DecoderDisplay {
  public:
    virtual ~DecoderDisplay() = default;

    // The chart's value axis spans minimum .. maximum.
    virtual void SetValueAxis(double /*minimum*/, double /*maximum*/) {}
    // Show only the series with this index (0 area, 1 line).
    virtual void ShowSeries(int /*index*/) {}
    // The measured-value box shows the value text.
    virtual void SetMeasuredValue(const std::string& /*valueText*/) {}
    // The verdict lamp, its caption and the value box colour.
    virtual void ShowVerdict(Verdict /*verdict*/) {}
    // Position of the bar graph.
    virtual void SetBarPosition(int /*position*/) {}
    // The alarm beep for a reading beyond the model's count.
    virtual void Beep() {}
};

class DecoderHost : public DecoderDisplay {
  public:
    // States read on every frame.
    virtual bool BtFillChecked() = 0;    // area rendering chosen
    virtual bool RecordSIChecked() = 0;  // interval sampling on
    virtual bool IFDralinChecked() = 0;  // configuration switch
    virtual std::string T1HIText() = 0;  // high limit box
    virtual std::string T1LOText() = 0;  // low limit box

    // Runs the recall clock's advance step; returns the reading's time stamp.
    virtual double AdvanceRecallClock() = 0;
    // Offers the current reading to the reading log.
    virtual void INDataToTable(int unused) = 0;
};

}  // namespace dmm
