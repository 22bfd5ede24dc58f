// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A decoder host for tests: the recording session with its switches and
// boxes set by the test, every call written to a call log in order.

#include <string>
#include <vector>

#include "decode/date_time.h"
#include "record/recording_session.h"

namespace dmm::test {

class RecordingHost : public RecordingSession {
  public:
    explicit RecordingHost(MeterState& state)
        : RecordingSession(state),
          state(state),
          table(RecordingSession::table()),
          log(RecordingSession::log()),
          clock(RecordingSession::recall()) {
        setClock([] { return TimeOfDay(12, 34, 56); });
    }

    // Switches and boxes.
    bool& fill = controls.fill;
    bool& recordSI = controls.sampling;
    bool& ifDralin = controls.dralinSwitch;
    bool& recall = controls.recall;
    bool& repeat = controls.repeat;
    std::string& high = controls.high;
    std::string& low = controls.low;
    std::string& timeInt = controls.recallStep;

    // Effects.
    std::vector<std::string> calls;
    double axisMin = 0, axisMax = 0;
    std::string measured;
    int verdicts = 0;
    Verdict lastVerdict = Verdict::Fail;
    int bar = -1;
    int beeps = 0;
    int showSeriesCalls = 0;
    int lastSeries = -1;
    int offered = 0;

    MeterState& state;
    ReadingTable& table;
    ReadingLog& log;
    RecallClock& clock;

    void SetValueAxis(double mn, double mx) override {
        axisMin = mn;
        axisMax = mx;
        calls.push_back("axis");
    }
    void ShowSeries(int index) override {
        ++showSeriesCalls;
        lastSeries = index;
        calls.push_back("series");
    }
    void SetMeasuredValue(const std::string& text) override {
        measured = text;
        calls.push_back("measured");
    }
    void ShowVerdict(Verdict v) override {
        ++verdicts;
        lastVerdict = v;
        calls.push_back("verdict");
    }
    double AdvanceRecallClock() override {
        calls.push_back("clock");
        return RecordingSession::AdvanceRecallClock();
    }
    void INDataToTable(int unused) override {
        ++offered;
        calls.push_back("record");
        RecordingSession::INDataToTable(unused);
    }
    void SetBarPosition(int position) override {
        bar = position;
        calls.push_back("bar");
    }
    void Beep() override {
        ++beeps;
        calls.push_back("beep");
    }
};

}  // namespace dmm::test
