// Saving and loading the reading table. A save runs on the window thread. A
// load reads the file on a thread of its own into a table of its own, so that
// the window keeps decoding and recording while a file of a million rows comes
// in; when the file is read, its rows join the table as if the load had run
// to its end before the readings that arrived meanwhile.

#include <QProgressDialog>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <exception>
#include <stdexcept>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "record/reading_table_model.h"

namespace dmm::app {
namespace {

void AppendRows(ReadingTable& to, const ReadingTable& from, size_t first, size_t last) {
    for (size_t i = first; i < last; ++i)
        to.append(from.row(i));
}

}  // namespace

void TFCOMM::saveasClick() {
    if (loading())
        return;  // the table is not whole until the load has finished
    const QString fileName = dialogs_->saveFileName(this);
    if (fileName.isEmpty())
        return;
    const SaveOutcome outcome = SaveDataFile(cds1_, fileName);
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
    loadForm_ = FormOf(fileName);
    rowsBeforeLoad_ = cds1_.size();
    loadTable_.clear();
    loadOutcome_ = {};
    loadPermille_ = 0;
    abortLoad_ = false;
    // The thread posts its end as an event, so it cannot finish before the
    // window below is ready for it.
    loader_ = std::thread([this, fileName] {
        try {
            loadOutcome_ =
                LoadTableFromFile(fileName, loadTable_, false, [this](int64_t done, int64_t total) {
                    if (total > 0)
                        loadPermille_ = int(done * 1000 / total);
                    return !abortLoad_.load();
                });
        } catch (const std::exception& error) {
            loadOutcome_ = {};
            loadOutcome_.form = loadForm_;
            loadOutcome_.message = kLoadFailedText;
            loadOutcome_.detail = error.what();
        }
        QMetaObject::invokeMethod(
            this, [this] { FinishLoad(); }, Qt::QueuedConnection);
    });

    SetFileButtonsEnabled(false);
    loadProgress_ = new QProgressDialog(fileName, QString(), 0, 1000, this);
    loadProgress_->setObjectName(QStringLiteral("LoadProgress"));
    loadProgress_->setWindowModality(Qt::WindowModal);
    loadProgress_->setCancelButton(nullptr);
    loadProgress_->setMinimumDuration(300);
    loadProgress_->setAutoClose(false);
    loadProgress_->setAutoReset(false);
    connect(loadPoll_, &QTimer::timeout, loadProgress_,
            [this] { loadProgress_->setValue(loadPermille_.load()); });
    loadPoll_->start();
}

void TFCOMM::FinishLoad() {
    loader_.join();
    loadPoll_->stop();
    delete loadProgress_;
    loadProgress_ = nullptr;

    // Rows recorded while the file was read come after the file's rows.
    const size_t recorded = cds1_.size() - rowsBeforeLoad_;
    if (loadForm_ == FileForm::Xml) {
        // A snapshot replaces the table, but only once it was read whole.
        if (loadOutcome_.ok) {
            AppendRows(loadTable_, cds1_, rowsBeforeLoad_, cds1_.size());
            cds1_.replaceWith(std::move(loadTable_));
        }
    } else if (rowsBeforeLoad_ == 0) {
        AppendRows(loadTable_, cds1_, 0, cds1_.size());
        cds1_.replaceWith(std::move(loadTable_));
    } else if (recorded == 0) {
        AppendRows(cds1_, loadTable_, 0, loadTable_.size());
    } else {
        ReadingTable merged;
        AppendRows(merged, cds1_, 0, rowsBeforeLoad_);
        AppendRows(merged, loadTable_, 0, loadTable_.size());
        AppendRows(merged, cds1_, rowsBeforeLoad_, cds1_.size());
        cds1_.replaceWith(std::move(merged));
    }
    loadTable_.clear();
    SyncGrid();
    SetFileButtonsEnabled(true);

    const bool ok = loadOutcome_.ok;
    if (!ok) {
        dialogs_->tell(this, QStringLiteral("Error"), ToQString(kLoadFailedText),
                       WindowDialogs::Icon::Error);
    }
    emit dataFileLoaded(ok);
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
