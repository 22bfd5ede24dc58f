// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recording session: what every front end records through. It owns the
// reading table, the reading log, the recall clock, the switch and box states
// the decoders read (the limit texts among them) and the recording journal,
// and it is the decoders' host for all that is not drawn. What is drawn goes
// on to a DecoderDisplay (the window's widgets); a front end that draws
// nothing (dmmlog, the simulator's harness, the benchmarks, the tests) gives
// none.
//
// The meter state and the frame assembly stay with the front end: the
// session reads the current reading from the state it was given.

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "decode/decoder_host.h"
#include "decode/meter_state.h"
#include "record/data_files.h"
#include "record/journal.h"
#include "record/reading_log.h"
#include "record/reading_table.h"
#include "record/recall_clock.h"

namespace dmm {

// The switches and boxes the decoders and the reading log read at every
// frame, as the front end last set them.
struct SessionControls {
    bool fill = false;             // area rendering chosen (BtFill)
    bool sampling = false;         // rows come from the sampling timer (RecordSI)
    bool dralinSwitch = true;      // the configuration switch (IFDralin)
    bool repeat = true;            // a reading equal to the last one is recorded too (RepeatSet)
    bool recall = false;           // rows carry the recall clock's time (RecallCheck)
    std::string recallStep = "1";  // the recall clock's step box (TimeInt)
    std::string high;              // the high limit box (T1HI)
    std::string low;               // the low limit box (T1LO)
};

class RecordingSession : public DecoderHost {
  public:
    using Clock = ReadingLog::Clock;

    explicit RecordingSession(const MeterState& state);
    ~RecordingSession() override;
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    SessionControls controls;

    // Where the drawn effects go; null draws nothing.
    void setDisplay(DecoderDisplay* display) { display_ = display; }
    // A row was recorded: the table's row index. Called after the journal
    // has it.
    std::function<void(size_t row)> onRecorded;
    // The first reading turned away for the capacity since the start, the
    // last clearing or the last change of capacity: the capacity.
    std::function<void(int32_t limit)> onCapacityReached;

    ReadingTable& table() { return table_; }
    const ReadingTable& table() const { return table_; }
    ReadingLog& log() { return log_; }
    const ReadingLog& log() const { return log_; }
    RecallClock& recall() { return recall_; }
    const RecallClock& recall() const { return recall_; }
    const MeterState& state() const { return state_; }

    // The PC clock for the rows' times and the recall clock's "now" (tests
    // and benchmarks fix it); null is the system's.
    void setClock(Clock clock);
    // The capacity chosen; the capacity notice may come again.
    void setCapacity(int32_t limit);
    // The session records at most this many rows in all (a logger's row
    // count); -1 for no such limit.
    void setRowBudget(int64_t rows) { budget_ = rows; }
    bool budgetSpent() const { return budget_ >= 0 && recorded_ >= budget_; }
    // Rows recorded since the session began (clearings do not reset it).
    int64_t rowsRecorded() const { return recorded_; }
    // Readings turned away because the table held its capacity.
    int64_t rowsTurnedAway() const { return turnedAway_; }

    // The user agreed to clear: the table empties, numbering starts at 1, the
    // journal starts afresh.
    void Clear();
    // The table was saved whole: the journal starts afresh.
    void TableSaved();
    // A data file was read while recording went on: rows at and after
    // rowsBefore were recorded during the load. A snapshot that was read
    // whole replaces the table (the rows recorded meanwhile follow it and
    // make the new journal); a text table's rows go after the rows held
    // before the load, ahead of those recorded during it, whether it was
    // read whole or not.
    void MergeLoaded(ReadingTable&& loaded, size_t rowsBefore, FileForm form, bool loadedWhole);

    // The journal, in the folder given; it is opened by adopting a journal
    // of an earlier run (RestoreJournals) or by OpenJournal(). The handler
    // hears of the first failure, possibly on the journal's own thread.
    Journal& StartJournal(const QString& directory, Journal::FailureHandler onFailure = {});
    Journal* journal() const { return journal_.get(); }
    // Writes and syncs what the journal holds and lets it go.
    void StopJournal() { journal_.reset(); }
    // Opens a new journal file; false with the journal's error() when it
    // cannot be.
    bool OpenJournal();
    // Restores the rows of earlier runs' journals into the table, as they
    // were recorded: the first one restored becomes this run's journal, the
    // rows of the others join it and their files go to kept/. Recording
    // numbers on after the last row. Returns the journals that could not be
    // read whole (their files go to kept/ too), with the reason.
    struct RestoreFailure {
        QString path;
        std::string reason;
    };
    struct RestoreResult {
        bool adopted = false;  // a journal became this run's
        std::vector<RestoreFailure> failures;
    };
    RestoreResult RestoreJournals(const std::vector<UnsavedJournal>& unsaved);

    // DecoderHost.
    bool BtFillChecked() override { return controls.fill; }
    bool RecordSIChecked() override { return controls.sampling; }
    bool IFDralinChecked() override { return controls.dralinSwitch; }
    std::string T1HIText() override { return controls.high; }
    std::string T1LOText() override { return controls.low; }
    double AdvanceRecallClock() override;
    // Also the sampling timer's tick.
    void INDataToTable(int unused) override;
    void SetValueAxis(double minimum, double maximum) override;
    void ShowSeries(int index) override;
    void SetMeasuredValue(const std::string& valueText) override;
    void ShowVerdict(Verdict verdict) override;
    void SetBarPosition(int position) override;
    void Beep() override;

  private:
    void JournalRowsFrom(size_t first);

    const MeterState& state_;
    ReadingTable table_;
    ReadingLog log_;
    RecallClock recall_;
    std::unique_ptr<Journal> journal_;
    DecoderDisplay* display_ = nullptr;
    Clock clock_ = nullptr;
    int64_t budget_ = -1;
    int64_t recorded_ = 0;
    int64_t turnedAway_ = 0;
    bool capacityTold_ = false;
};

}  // namespace dmm
