#pragma once
// A decoder host for tests: widget states set by the test, every effect
// written to a call log in order, recording through a real reading log.

#include <string>
#include <vector>

#include "decode/date_time.h"
#include "decode/decoder_host.h"
#include "decode/meter_state.h"
#include "record/reading_log.h"
#include "record/recall_clock.h"

namespace dmm::test {

class RecordingHost : public DecoderHost {
  public:
    explicit RecordingHost(MeterState& state) : state(state), log(table) {
        log.setClock([] { return TimeOfDay(12, 34, 56); });
    }

    // Widget states.
    bool fill = false;
    bool recordSI = false;
    bool ifDralin = true;
    bool recall = false;
    bool repeat = true;
    std::string high = "6000";
    std::string low = "-6000";
    std::string timeInt = "1";

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
    ReadingTable table;
    ReadingLog log;
    RecallClock clock;

    bool BtFillChecked() override { return fill; }
    bool RecordSIChecked() override { return recordSI; }
    bool IFDralinChecked() override { return ifDralin; }
    std::string T1HIText() override { return high; }
    std::string T1LOText() override { return low; }
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
        return clock.Advance(recall, timeInt, TimeOfDay(12, 34, 56));
    }
    void INDataToTable(int) override {
        ++offered;
        calls.push_back("record");
        log.INDataToTable(state.Reading, repeat, recall);
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
