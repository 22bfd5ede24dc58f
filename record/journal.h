// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recording journal: every recorded row is appended to a file as one JSON
// line (the keys of dmmlog's JSON rows plus "timestamp", the local date-time
// of recording with milliseconds and UTC offset), so that a crash, a kill or
// a power cut costs at most the last second of a recording.
//
// One journal file per running program, locked (flock) while it runs, named
// after its start time and process id. It holds the rows recorded since the
// table was last saved whole, cleared or replaced: restart() empties it.
// append() only formats the row into memory; a worker thread writes what has
// gathered within 50 ms and syncs it (fdatasync) within half a second, so
// the caller never waits on the disk. The first failure to write (a full
// disk, a read-only home) is kept and reported once; from then on rows are
// no longer journalled and recording goes on in memory.
//
// At start the journals of programs no longer running (no lock held) that
// hold rows are offered for recovery: restoring appends their rows to the
// table and the journal becomes this run's (adopt); declining moves it to
// kept/ below the journal folder. No journal is ever deleted except this
// run's own one when it holds no row.
//
// At start, then: FindUnsavedJournals(); for one the user wants back,
// RestoreJournal() into the table and, when that went through, adopt() it
// (else KeepJournal(), so that nothing is lost); for one declined,
// KeepJournal(); and open() when nothing was adopted.

#include <QDateTime>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "record/data_files.h"
#include "record/json_rows.h"
#include "record/reading_table.h"

namespace dmm {

// ${XDG_STATE_HOME:-$HOME/.local/state}/tarvometer/journal
QString JournalDirectory();

class Journal {
  public:
    // Called once with the reason of the first failure: on the worker thread,
    // or within append() when the disk has fallen far behind the rows.
    using FailureHandler = std::function<void(const std::string& reason)>;

    explicit Journal(QString directory);
    // Writes and syncs what is pending and unlocks; removes the file when it
    // holds no row.
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates the folder if need be, then this run's file, and locks it.
    // False with error() when that cannot be done.
    bool open();
    // Takes over a recovered journal: locks it, drops a torn last line and
    // appends after its rows. A file of this journal's own is let go (removed
    // when it holds no row). False with error() when the file cannot be
    // opened or another program holds it; a journal already running then
    // goes on as it was.
    bool adopt(const QString& path);

    // Journals the table's row; autoText is the range mode text that went
    // with it ("AUTO" or empty). Never waits on the disk.
    void append(const ReadingTable& table, size_t row, std::string_view autoText);
    // Empties the file: the table was saved whole, cleared or replaced.
    void restart();
    // Waits until every row appended so far is written and synced (or the
    // journal has failed).
    void flush();

    // True once the journal could not be written (rows are then no longer
    // journalled), or when open() found no journal to write.
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // The system's reason for that failure ("No space left on device"), or
    // for the last open() or adopt() that returned false.
    std::string error() const;
    QString path() const;
    // Set before open() or adopt(). append(), restart() and flush() are for
    // one thread, the recording one.
    void setFailureHandler(FailureHandler handler) { onFailure_ = std::move(handler); }

  private:
    struct Batch;
    bool start(int fd, const QString& path, bool folderSynced);
    void close();
    void failToWrite(const std::string& reason);
    bool failToStart(std::string reason);
    void run();
    bool writeBatch(Batch& batch);
    bool syncFile();

    QString directory_;
    FailureHandler onFailure_;

    // Owned by the worker while it runs.
    int fd_ = -1;
    bool folderSynced_ = false;

    mutable std::mutex mutex_;
    std::condition_variable wake_;    // the worker: rows, a restart or the end
    std::condition_variable synced_;  // flush(): the worker caught up
    std::string pending_;             // formatted rows not yet handed to the worker
    bool restartPending_ = false;
    bool running_ = false;  // a worker runs
    bool stopping_ = false;
    bool workerIdle_ = false;
    bool flushWanted_ = false;
    uint64_t requested_ = 0;  // appends and restarts so far
    uint64_t done_ = 0;       // of them, written and synced
    std::string error_;
    bool failureReported_ = false;
    QString path_;
    std::atomic<bool> failed_{false};
    std::thread worker_;

    // The time now as the rows carry it.
    LocalTimestamp stamp_;
};

struct UnsavedJournal {
    QString path;
    size_t rows = 0;
    QDateTime first, last;  // the first and last row's timestamps
};

// The journals in the folder (kept/ left out) that no running program holds
// and that hold at least one row, oldest first.
std::vector<UnsavedJournal> FindUnsavedJournals(const QString& directory);

// Appends the journal's rows to the table as they were recorded. A torn last
// line (cut by a crash) is ignored; any other line that is not a row fails
// the restore as a bad line of a text table does, keeping the rows before it.
// The progress report (bytes read, file size) may cancel it, as for a load.
// The file is read in blocks of blockBytes.
inline constexpr size_t kJournalReadBlockBytes = size_t(1) << 20;
LoadOutcome RestoreJournal(const QString& path, ReadingTable& table,
                           const LoadProgress& progress = {}, size_t maxRows = kMostTableRows,
                           size_t blockBytes = kJournalReadBlockBytes);

// Moves the journal into kept/ in its folder; returns its new path, or an
// empty text when it cannot be moved (or a running program holds it).
QString KeepJournal(const QString& path);

}  // namespace dmm
