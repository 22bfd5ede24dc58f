// SPDX-License-Identifier: GPL-3.0-or-later
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
    // The failure comes from the journal's worker: it is told on this thread.
    session_.StartJournal(directory, [this](const std::string& reason) {
        QMetaObject::invokeMethod(
            this, [this, reason] { JournalFailed(reason); }, Qt::QueuedConnection);
    });
    const bool adopted = OfferUnsavedJournals(directory);
    if (!adopted && !session_.OpenJournal())
        JournalFailed(session_.journal()->error());
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
    const RecordingSession::RestoreResult restored = session_.RestoreJournals(unsaved);
    for (const RecordingSession::RestoreFailure& failure : restored.failures) {
        dialogs_->tell(this, QStringLiteral("Error"),
                       ToQString(kLoadFailedText) + QLatin1Char('\n') + ToQString(failure.reason),
                       WindowDialogs::Icon::Error);
    }
    SyncGrid();
    return restored.adopted;
}

void TFCOMM::JournalFailed(const std::string& reason) {
    dialogs_->notice(this, QStringLiteral("Information"),
                     QStringLiteral("The recording journal cannot be written (%1): the readings "
                                    "are kept in memory only, until you save them.")
                         .arg(ToQString(reason)));
}

}  // namespace dmm::app
