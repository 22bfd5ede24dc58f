// SPDX-License-Identifier: GPL-3.0-or-later
// Saving and loading the reading table. A save runs on the window thread. A
// load reads the file on a thread of its own into a table of its own, so that
// the window keeps decoding and recording while a file of a million rows comes
// in; when the file is read, its rows join the table as if the load had run
// to its end before the readings that arrived meanwhile. A cancelled load
// leaves the table as it was.

#include <QProgressDialog>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <stdexcept>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "record/reading_table_model.h"

namespace dmm::app {

void TFCOMM::saveasClick() {
    if (loading())
        return;  // the table is not whole until the load has finished
    const QString fileName = dialogs_->saveFileName(this);
    if (fileName.isEmpty())
        return;
    const SaveOutcome outcome = SaveDataFile(cds1_, fileName);
    if (outcome.ok)
        session_.TableSaved();
    if (outcome.form == FileForm::Xml) {
        // The snapshot's failure is an error like any other, for the
        // general error handler.
        if (!outcome.ok)
            throw std::runtime_error(outcome.message);
        return;
    }
    dialogs_->tell(this, QString(), ToQString(outcome.message),
                   outcome.ok ? WindowDialogs::Icon::Information : WindowDialogs::Icon::Error);
}

void TFCOMM::SpeedButton2Click() {
    if (loading())
        return;
    const QString fileName = dialogs_->openFileName(this);
    if (fileName.isEmpty())
        return;
    StartLoad(fileName);
}

void TFCOMM::StartLoad(const QString& fileName) {
    rowsBeforeLoad_ = cds1_.size();
    // A text table adds its rows to those held; a snapshot replaces them.
    const size_t room = FormOf(fileName) == FileForm::Xml
                            ? kMostTableRows
                            : kMostTableRows - std::min(kMostTableRows, rowsBeforeLoad_);
    load_ = std::make_unique<BackgroundLoad>(fileName, room);

    SetFileButtonsEnabled(false);
    // Not modal: the window goes on recording, and Quit and the close box
    // stay within reach whatever the read is doing.
    loadProgress_ = new QProgressDialog(fileName, QStringLiteral("Cancel"), 0, 1000, this);
    loadProgress_->setObjectName(QStringLiteral("LoadProgress"));
    loadProgress_->setWindowModality(Qt::NonModal);
    loadProgress_->setMinimumDuration(300);
    loadProgress_->setAutoClose(false);
    loadProgress_->setAutoReset(false);
    connect(loadProgress_, &QProgressDialog::canceled, this, &TFCOMM::CancelLoad,
            Qt::QueuedConnection);
    connect(loadPoll_, &QTimer::timeout, loadProgress_, [this] {
        if (load_->finished()) {
            FinishLoad();
            return;
        }
        // A FIFO or a device has no size to show progress against: the bar
        // then just shows that the load is waiting. (Asked of the loader, as
        // even a look at the file could hang on a stalled mount.)
        const int permille = load_->permille();
        loadProgress_->setMaximum(permille < 0 ? 0 : 1000);
        loadProgress_->setValue(std::max(permille, 0));
    });
    loadPoll_->start();
}

void TFCOMM::EndLoad() {
    loadPoll_->stop();
    if (loadProgress_) {
        disconnect(loadPoll_, nullptr, loadProgress_, nullptr);
        delete loadProgress_;
        loadProgress_ = nullptr;
    }
    load_.reset();
    SyncGrid();
    SetFileButtonsEnabled(true);
}

void TFCOMM::CancelLoad() {
    if (!load_)
        return;
    // The table stays as it was; the thread is left to end by itself.
    EndLoad();
    emit dataFileLoaded(false);
}

void TFCOMM::FinishLoad() {
    ReadingTable& loaded = load_->table();
    const LoadOutcome outcome = load_->outcome();
    // Rows recorded while the file was read come after the file's rows.
    session_.MergeLoaded(std::move(loaded), rowsBeforeLoad_, load_->form(), outcome.ok);
    EndLoad();

    if (!outcome.ok) {
        // The message, then what was wrong with the file.
        QString text = ToQString(kLoadFailedText);
        if (!outcome.detail.empty())
            text += QLatin1Char('\n') + ToQString(outcome.detail);
        dialogs_->tell(this, QStringLiteral("Error"), text, WindowDialogs::Icon::Error);
    }
    emit dataFileLoaded(outcome.ok);
}

void TFCOMM::SetFileButtonsEnabled(bool enabled) {
    for (QToolButton* button : {RecordNew, OpenDataFiles, saveas})
        button->setEnabled(enabled);
}

void TFCOMM::BtPrintClick() {
    // The report keeps the rows it was laid out with; the grid rests while
    // the preview is open and then shows what was recorded meanwhile.
    SyncGrid();
    DBGrid1->setUpdatesEnabled(false);
    struct ResumeGrid {
        TFCOMM& window;
        ~ResumeGrid() {
            window.DBGrid1->setUpdatesEnabled(true);
            window.SyncGrid();
        }
    } resume{*this};
    dialogs_->previewReport(this, cds1_);
}

}  // namespace dmm::app
