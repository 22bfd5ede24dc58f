// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/recording_session.h"

#include <algorithm>

#include "decode/date_time.h"
#include "decode/limit_rules.h"

namespace dmm {
namespace {

void AppendRows(ReadingTable& to, const ReadingTable& from, size_t first, size_t last) {
    for (size_t i = first; i < last; ++i)
        to.append(from.row(i));
}

}  // namespace

RecordingSession::RecordingSession(const MeterState& state) : state_(state), log_(table_) {
    controls.high = kStartHighLimit;
    controls.low = kStartLowLimit;
}

// The journal's worker ends (writing and syncing what it holds) before the
// table it was given rows of goes.
RecordingSession::~RecordingSession() = default;

void RecordingSession::setClock(Clock clock) {
    clock_ = clock;
    log_.setClock(clock);
}

void RecordingSession::setCapacity(int32_t limit) {
    log_.RecordLimit = limit;
    capacityTold_ = false;
}

double RecordingSession::AdvanceRecallClock() {
    return recall_.Advance(controls.recall, controls.recallStep, clock_ ? clock_() : NowDateTime());
}

void RecordingSession::INDataToTable(int) {
    if (budgetSpent())
        return;  // the run has what it asked for; the rest is ignored
    if (log_.INDataToTable(state_.Reading, controls.repeat, controls.recall)) {
        ++recorded_;
        const size_t row = table_.size() - 1;
        if (journal_)
            journal_->append(table_, row, state_.Reading.AutoText);
        if (onRecorded)
            onRecorded(row);
    } else if (log_.AtCapacity()) {
        // Told once, until the table is cleared or the capacity changes:
        // the display goes on showing readings that are no longer recorded.
        ++turnedAway_;
        if (!capacityTold_) {
            capacityTold_ = true;
            if (onCapacityReached)
                onCapacityReached(log_.RecordLimit);
        }
    }
}

void RecordingSession::SetValueAxis(double minimum, double maximum) {
    if (display_)
        display_->SetValueAxis(minimum, maximum);
}
void RecordingSession::ShowSeries(int index) {
    if (display_)
        display_->ShowSeries(index);
}
void RecordingSession::SetMeasuredValue(const std::string& valueText) {
    if (display_)
        display_->SetMeasuredValue(valueText);
}
void RecordingSession::ShowVerdict(Verdict verdict) {
    if (display_)
        display_->ShowVerdict(verdict);
}
void RecordingSession::SetBarPosition(int position) {
    if (display_)
        display_->SetBarPosition(position);
}
void RecordingSession::Beep() {
    if (display_)
        display_->Beep();
}

void RecordingSession::Clear() {
    log_.Clear();
    capacityTold_ = false;
    if (journal_)
        journal_->restart();
}

void RecordingSession::TableSaved() {
    if (journal_)
        journal_->restart();  // every row is in the file now
}

void RecordingSession::JournalRowsFrom(size_t first) {
    if (!journal_)
        return;
    for (size_t r = first; r < table_.size(); ++r)
        journal_->append(table_, r, {});
}

void RecordingSession::MergeLoaded(ReadingTable&& loaded, size_t rowsBefore, FileForm form,
                                   bool loadedWhole) {
    const size_t recorded = table_.size() - rowsBefore;
    if (form == FileForm::Xml) {
        if (!loadedWhole)
            return;
        AppendRows(loaded, table_, rowsBefore, table_.size());
        table_.replaceWith(std::move(loaded));
        // The journal holds what was recorded since: the rows that came in
        // during the load.
        if (journal_)
            journal_->restart();
        JournalRowsFrom(table_.size() - recorded);
    } else if (rowsBefore == 0) {
        AppendRows(loaded, table_, 0, table_.size());
        table_.replaceWith(std::move(loaded));
    } else if (recorded == 0) {
        AppendRows(table_, loaded, 0, loaded.size());
    } else {
        ReadingTable merged;
        AppendRows(merged, table_, 0, rowsBefore);
        AppendRows(merged, loaded, 0, loaded.size());
        AppendRows(merged, table_, rowsBefore, table_.size());
        table_.replaceWith(std::move(merged));
    }
}

Journal& RecordingSession::StartJournal(const QString& directory,
                                        Journal::FailureHandler onFailure) {
    journal_ = std::make_unique<Journal>(directory);
    journal_->setFailureHandler(std::move(onFailure));
    return *journal_;
}

bool RecordingSession::OpenJournal() {
    return journal_ && journal_->open();
}

RecordingSession::RestoreResult RecordingSession::RestoreJournals(
    const std::vector<UnsavedJournal>& unsaved) {
    RestoreResult result;
    for (const UnsavedJournal& j : unsaved) {
        const size_t before = table_.size();
        const LoadOutcome restored = RestoreJournal(j.path, table_);
        if (!restored.ok)
            result.failures.push_back({j.path, restored.detail});
        if (!result.adopted && restored.ok && journal_ && journal_->adopt(j.path)) {
            result.adopted = true;
            continue;
        }
        if (result.adopted)
            JournalRowsFrom(before);
        // Nothing is deleted: a journal not taken over goes aside.
        KeepJournal(j.path);
    }
    // Recording goes on where the restored rows left off.
    if (!table_.empty()) {
        if (const auto no = table_.integer(table_.size() - 1, Field::No))
            log_.ReadingNo = int32_t(uint32_t(*no) + 1u);
        log_.RecordedCount = int32_t(std::min<size_t>(table_.size(), kMostTableRows));
    }
    return result;
}

}  // namespace dmm
