// The recording journal: every row the window records is kept in a file until
// the table is saved whole, cleared or replaced, so that a crash, a kill, a
// power cut or the close box costs no reading. At start, the journals of runs
// that ended with unsaved rows are offered back.

#include <QDir>
#include <QMetaObject>
#include <algorithm>

#include "app/fcomm.h"

namespace dmm::app {
namespace {

QString DateTimeText(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace

void TFCOMM::StartJournal(const QString& directory) {
    journal_ = std::make_unique<Journal>(directory);
    // The failure comes from the journal's worker: it is told on this thread.
    journal_->setFailureHandler([this](const std::string& reason) {
        QMetaObject::invokeMethod(
            this, [this, reason] { JournalFailed(reason); }, Qt::QueuedConnection);
    });
    const bool adopted = OfferUnsavedJournals(directory);
    if (!adopted && !journal_->open())
        JournalFailed(journal_->error());
}

bool TFCOMM::OfferUnsavedJournals(const QString& directory) {
    const std::vector<UnsavedJournal> unsaved = FindUnsavedJournals(directory);
    if (unsaved.empty())
        return false;
    size_t rows = 0;
    QDateTime first = unsaved.front().first, last = unsaved.front().last;
    for (const UnsavedJournal& j : unsaved) {
        rows += j.rows;
        first = std::min(first, j.first);
        last = std::max(last, j.last);
    }
    const QString question =
        QStringLiteral(
            "%1 readings, recorded between %2 and %3, were not saved when the program last "
            "ended. Do you want to restore them into the table?")
            .arg(rows)
            .arg(DateTimeText(first), DateTimeText(last));
    if (!dialogs_->ask(this, QStringLiteral("Information"), question)) {
        // Nothing is deleted without the user's word: the files go aside.
        bool allKept = true;
        for (const UnsavedJournal& j : unsaved)
            allKept = !KeepJournal(j.path).isEmpty() && allKept;
        const QString kept = QDir(directory).filePath(QStringLiteral("kept"));
        dialogs_->tell(this, QStringLiteral("Information"),
                       allKept ? QStringLiteral("The readings were kept in %1.").arg(kept)
                               : QStringLiteral("The readings stay in %1.").arg(directory),
                       WindowDialogs::Icon::Information);
        return false;
    }
    // The first journal becomes this run's; the rows of any other join it,
    // and its file goes aside.
    bool adopted = false;
    for (const UnsavedJournal& j : unsaved) {
        const size_t before = cds1_.size();
        const LoadOutcome restored = RestoreJournal(j.path, cds1_);
        if (!restored.ok) {
            KeepJournal(j.path);
            dialogs_->tell(
                this, QStringLiteral("Error"),
                ToQString(kLoadFailedText) + QLatin1Char('\n') + ToQString(restored.detail),
                WindowDialogs::Icon::Error);
        }
        if (!adopted && restored.ok && journal_->adopt(j.path)) {
            adopted = true;
            continue;
        }
        if (adopted) {
            for (size_t r = before; r < cds1_.size(); ++r)
                journal_->append(cds1_, r, {});
        }
        if (restored.ok)
            KeepJournal(j.path);
    }
    // Recording goes on where the restored rows left off.
    if (!cds1_.empty()) {
        if (const auto no = cds1_.integer(cds1_.size() - 1, Field::No))
            log_.ReadingNo = int32_t(uint32_t(*no) + 1u);
        log_.RecordedCount = int32_t(std::min<size_t>(cds1_.size(), kMostTableRows));
    }
    SyncGrid();
    return adopted;
}

void TFCOMM::JournalFailed(const std::string& reason) {
    dialogs_->notice(this, QStringLiteral("Information"),
                     QStringLiteral("The recording journal cannot be written (%1): the readings "
                                    "are kept in memory only, until you save them.")
                         .arg(ToQString(reason)));
}

void TFCOMM::JournalRecorded() {
    if (journal_)
        journal_->append(cds1_, cds1_.size() - 1, state_.Reading.AutoText);
}

void TFCOMM::JournalRestart() {
    if (journal_)
        journal_->restart();
}

}  // namespace dmm::app
