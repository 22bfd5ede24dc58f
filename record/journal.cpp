// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "record/file_output.h"
#include "record/journal_rows.h"
#include "record/json_rows.h"
#include "record/record_logging.h"

namespace dmm {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Rows that follow one another closely are written together.
constexpr auto kGatherTime = std::chrono::milliseconds(50);
// Written rows are synced at most this long after the first of them.
constexpr auto kSyncDelay = std::chrono::milliseconds(500);
// A disk that cannot take the rows as fast as they come (hours behind) fails
// the journal rather than the program's memory.
constexpr size_t kMostPendingBytes = size_t(64) << 20;
// Progress is reported every so many rows restored.
constexpr size_t kProgressLines = 4096;
// A program that merely looks at a journal holds it only for a moment.
constexpr auto kLockPatience = std::chrono::milliseconds(200);

constexpr char kSuffix[] = ".jsonl";

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString FolderOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

// Creates the folder and any missing above it, readable by the user alone
// (journals hold what was measured); false with errno.
bool MakeFolders(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    const size_t slash = path.find_last_not_of('/') == std::string::npos
                             ? std::string::npos
                             : path.rfind('/', path.find_last_not_of('/'));
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

int OpenFolder(const std::string& folder) {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A new or renamed file's name is safe only once its folder is synced.
void SyncFolder(const std::string& folder) {
    const int fd = OpenFolder(folder);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Takes the journal's lock, waiting a moment for a program that is only
// looking at it; false with errno EWOULDBLOCK when a running program owns it.
bool LockJournal(int fd) {
    const auto giveUp = SteadyClock::now() + kLockPatience;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (SteadyClock::now() >= giveUp) {
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Complete lines of a journal file: calls onLine(line, number, end) for each
// line ended by a line feed (end: the offset after it), until it returns false. Returns the length
// of the file's complete lines (what follows is a torn line), or -1 with errno.
template <class OnLine>
int64_t ForEachLine(int fd, OnLine&& onLine, size_t blockBytes = kJournalReadBlockBytes) {
    // A small file needs no big block.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size >= 0)
        blockBytes = std::min(blockBytes, size_t(st.st_size) + 1);
    std::string block(std::max<size_t>(blockBytes, 1), '\0');
    std::string carry;  // the start of a line that runs on into the next block
    int64_t offset = 0, complete = 0;
    size_t number = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, block.data(), block.size(), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return complete;
        std::string_view data(block.data(), size_t(n));
        size_t start = 0;
        for (size_t end; (end = data.find('\n', start)) != std::string_view::npos;
             start = end + 1) {
            std::string_view line = data.substr(start, end - start);
            if (!carry.empty()) {
                carry.append(line);
                line = carry;
            }
            complete = offset + int64_t(end) + 1;
            const bool go = onLine(line, ++number, complete);
            carry.clear();
            if (!go)
                return complete;
        }
        // A line longer than any row is not read whole; its start is enough
        // to fail it.
        if (carry.size() < kMaxTextLineBytes)
            carry.append(data.substr(start, kMaxTextLineBytes - carry.size()));
        offset += n;
    }
}

QDateTime TimestampOf(std::string_view line) {
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), qsizetype(line.size())));
    return QDateTime::fromString(doc.object().value(QLatin1String("timestamp")).toString(),
                                 Qt::ISODateWithMs);
}

}  // namespace

QString JournalDirectory() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // The base directory rules ignore a relative path.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tarvometer/journal");
}

// What the worker takes from the caller in one go.
struct Journal::Batch {
    std::string bytes;
    bool restart = false;
    uint64_t upto = 0;  // the requests it completes
};

Journal::Journal(QString directory) : directory_(std::move(directory)) {}

Journal::~Journal() {
    close();
}

std::string Journal::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

QString Journal::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

bool Journal::open() {
    if (!MakeFolders(LocalPath(directory_)))
        return failToStart(LocalPath(directory_) + ": " + SystemErrorText(errno));
    const QString stem =
        QDir(directory_)
            .filePath(
                QStringLiteral("journal-%1-%2")
                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                    .arg(::getpid()));
    for (int n = 1;; ++n) {
        const QString path =
            n == 1 ? stem + QLatin1String(kSuffix)
                   : QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(QLatin1String(kSuffix));
        const int fd = ::open(LocalPath(path).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return failToStart(SystemErrorText(errno));
        // Only a program looking into the new, empty file can hold it, and
        // only for a moment.
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::unlink(LocalPath(path).c_str());
                ::close(fd);
                return failToStart(SystemErrorText(error));
            }
        }
        close();
        return start(fd, path, false);
    }
}

bool Journal::adopt(const QString& path) {
    const std::string local = LocalPath(path);
    const int fd = ::open(local.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return failToStart(SystemErrorText(errno));
    if (!LockJournal(fd)) {
        const int error = errno;
        ::close(fd);
        return failToStart(error == EWOULDBLOCK ? "the journal is in use by another running program"
                                                : SystemErrorText(error));
    }
    // Rows go on after the last complete one: a line cut by a crash would
    // otherwise run into the first new row.
    const int64_t complete =
        ForEachLine(fd, [](std::string_view, size_t, int64_t) { return true; });
    struct stat st {};
    if (complete < 0 || ::fstat(fd, &st) != 0 ||
        (st.st_size > complete && ::ftruncate(fd, complete) != 0)) {
        const int error = errno;
        ::close(fd);
        return failToStart(SystemErrorText(error));
    }
    if (st.st_size > complete) {
        qCDebug(lcJournal).noquote() << "journal" << path << "ended in a torn line: cut"
                                     << (st.st_size - complete) << "bytes";
    }
    close();
    return start(fd, path, true);
}

bool Journal::start(int fd, const QString& path, bool folderSynced) {
    fd_ = fd;
    folderSynced_ = folderSynced;
    failed_.store(false, std::memory_order_release);
    {
        std::lock_guard lock(mutex_);
        failureReported_ = false;
        error_.clear();
        path_ = QFileInfo(path).absoluteFilePath();
        stopping_ = false;
        running_ = true;
    }
    worker_ = std::thread([this] { run(); });
    return true;
}

void Journal::close() {
    if (!worker_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
    // This run's file without a row is of no use to anyone; any other stays.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size == 0)
        ::unlink(LocalPath(path_).c_str());
    ::close(fd_);
    fd_ = -1;
    std::lock_guard lock(mutex_);
    path_.clear();
    running_ = false;
    pending_.clear();
    restartPending_ = false;
    done_ = requested_;
}

// The handler hears of the failure before failed() says so, so that whoever
// sees failed() also finds the failure reported.
void Journal::failToWrite(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        if (failureReported_)
            return;
        failureReported_ = true;
        error_ = reason;
    }
    qCDebug(lcJournal).noquote() << "writing the journal failed, recording goes on in memory:"
                                 << QString::fromStdString(reason);
    if (onFailure_)
        onFailure_(reason);
    std::lock_guard lock(mutex_);
    failed_.store(true, std::memory_order_release);
    pending_.clear();
    pending_.shrink_to_fit();
    synced_.notify_all();
}

// A journal that is running goes on when another cannot be taken over.
bool Journal::failToStart(std::string reason) {
    qCDebug(lcJournal).noquote() << "the journal in" << directory_
                                 << "cannot start:" << QString::fromStdString(reason);
    std::lock_guard lock(mutex_);
    error_ = std::move(reason);
    if (!running_)
        failed_.store(true, std::memory_order_release);
    return false;
}

void Journal::append(const ReadingTable& table, size_t row, std::string_view autoText) {
    if (failed())
        return;
    auto text = [&](Field f) -> std::optional<std::string_view> {
        if (table.isNull(row, f))
            return std::nullopt;
        return table.text(row, f);
    };
    const std::optional<int32_t> nval = table.integer(row, Field::Nval);
    JsonRow json{.no = table.integer(row, Field::No),
                 .time = text(Field::Time),
                 .function = text(Field::DcAc),
                 .value = text(Field::Value),
                 .unit = text(Field::Unit),
                 .autoText = autoText,
                 .judge = text(Field::Auto),
                 .count = nval ? std::optional<double>(*nval) : std::nullopt};
    bool wake = false, tooMuch = false;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || failed())
            return;
        char stamp[LocalTimestamp::kMostBytes];
        AppendJsonRow(pending_, json, {stamp, stamp_.format(stamp)});
        ++requested_;
        tooMuch = pending_.size() > kMostPendingBytes;
        wake = workerIdle_;
        workerIdle_ = false;
    }
    if (tooMuch)
        failToWrite("the disk does not keep up with the recording");
    else if (wake)
        wake_.notify_one();
}

void Journal::restart() {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        pending_.clear();
        restartPending_ = true;
        ++requested_;
        wake = workerIdle_;
        workerIdle_ = false;
    }
    if (wake)
        wake_.notify_one();
}

void Journal::flush() {
    std::unique_lock lock(mutex_);
    if (!running_)
        return;
    const uint64_t target = requested_;
    flushWanted_ = true;
    wake_.notify_one();
    synced_.wait(lock, [&] { return done_ >= target || failed(); });
}

bool Journal::writeBatch(Batch& batch) {
    if (batch.restart) {
        // Even a failed journal empties: its rows are saved now.
        if (::ftruncate(fd_, 0) != 0 && !failed()) {
            failToWrite(SystemErrorText(errno));
            return false;
        }
    }
    if (batch.bytes.empty() || failed())
        return batch.restart;
    if (!WriteAll(fd_, batch.bytes.data(), batch.bytes.size())) {
        failToWrite(SystemErrorText(errno));
        return false;
    }
    return true;
}

bool Journal::syncFile() {
    if (failed())
        return true;
    if (::fdatasync(fd_) != 0) {
        failToWrite(SystemErrorText(errno));
        return false;
    }
    if (!folderSynced_) {
        SyncFolder(LocalPath(FolderOf(path_)));
        folderSynced_ = true;
    }
    return true;
}

void Journal::run() {
    bool unsynced = false;
    SteadyClock::time_point syncDue{};
    uint64_t written = 0;  // requests written, not necessarily synced
    Batch batch;
    std::unique_lock lock(mutex_);
    auto work = [&] { return stopping_ || flushWanted_ || restartPending_ || !pending_.empty(); };
    for (;;) {
        if (!work()) {
            workerIdle_ = true;
            if (unsynced)
                wake_.wait_until(lock, syncDue, work);
            else
                wake_.wait(lock, work);
            workerIdle_ = false;
        }
        if (!pending_.empty() && !stopping_ && !flushWanted_)
            wake_.wait_for(lock, kGatherTime, [&] { return stopping_ || flushWanted_; });

        batch.bytes.clear();
        batch.bytes.swap(pending_);
        batch.restart = restartPending_;
        restartPending_ = false;
        batch.upto = requested_;
        const bool hurry = stopping_ || flushWanted_;
        lock.unlock();

        if (writeBatch(batch) && !unsynced) {
            unsynced = true;
            syncDue = SteadyClock::now() + kSyncDelay;
        }
        written = batch.upto;
        if (unsynced && (hurry || SteadyClock::now() >= syncDue)) {
            syncFile();
            unsynced = false;
        }

        lock.lock();
        if (!unsynced || failed()) {
            done_ = written;
            synced_.notify_all();
        }
        if (done_ >= requested_)
            flushWanted_ = false;
        if (stopping_ && pending_.empty() && !restartPending_ && !unsynced)
            return;
    }
}

std::vector<UnsavedJournal> FindUnsavedJournals(const QString& directory) {
    std::vector<UnsavedJournal> found;
    const QFileInfoList files = QDir(directory).entryInfoList(
        {QStringLiteral("*") + QLatin1String(kSuffix)}, QDir::Files, QDir::Name);
    for (const QFileInfo& info : files) {
        const int fd = ::open(LocalPath(info.absoluteFilePath()).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A running program holds its journal's lock.
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        UnsavedJournal journal;
        journal.path = info.absoluteFilePath();
        std::string last;
        ForEachLine(fd, [&](std::string_view line, size_t number, int64_t) {
            if (number == 1)
                journal.first = TimestampOf(line);
            last.assign(line);
            journal.rows = number;
            return true;
        });
        ::close(fd);
        if (journal.rows == 0)
            continue;
        journal.last = TimestampOf(last);
        found.push_back(std::move(journal));
    }
    auto since = [](const UnsavedJournal& j) {
        return j.first.isValid() ? j.first.toMSecsSinceEpoch() : INT64_MIN;
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](const auto& a, const auto& b) { return since(a) < since(b); });
    return found;
}

LoadOutcome RestoreJournal(const QString& path, ReadingTable& table, const LoadProgress& progress,
                           size_t maxRows, size_t blockBytes) {
    LoadOutcome out;
    out.form = FileForm::Text;
    const int fd = ::open(LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        out.message = kLoadFailedText;
        out.detail = SystemErrorText(errno);
        qCDebug(lcJournal).noquote()
            << "cannot open" << path << "to restore it:" << QString::fromStdString(out.detail);
        return out;
    }
    struct stat st {};
    const int64_t total = ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
    std::string why;
    const int64_t read = ForEachLine(
        fd,
        [&](std::string_view line, size_t number, int64_t end) {
            if (line.size() >= kMaxTextLineBytes) {
                why = "line " + std::to_string(number) + " is longer than " +
                      std::to_string(kMaxTextLineBytes) + " bytes";
                return false;
            }
            std::optional<RowData> row = ParseJournalRow(line, why);
            if (!row) {
                why = "line " + std::to_string(number) + ": " + why;
                return false;
            }
            if (table.size() >= maxRows) {
                why = "line " + std::to_string(number) + ": the table would hold more than " +
                      std::to_string(maxRows) + " rows";
                return false;
            }
            table.append(*row);
            ++out.rowsLoaded;
            if (progress && number % kProgressLines == 0 && !progress(end, total)) {
                why = "restoring was cancelled";
                return false;
            }
            return true;
        },
        blockBytes);
    if (read < 0 && why.empty())
        why = SystemErrorText(errno);
    ::close(fd);
    out.ok = why.empty();
    if (!out.ok) {
        qCDebug(lcJournal).noquote()
            << "restoring" << path << "ends:" << QString::fromStdString(why) << "- keeping the"
            << out.rowsLoaded << "rows before it";
        out.message = kLoadFailedText;
        out.detail = std::move(why);
    }
    return out;
}

QString KeepJournal(const QString& path) {
    const QFileInfo info(path);
    const QString keptFolder = info.absolutePath() + QStringLiteral("/kept");
    if (!MakeFolders(LocalPath(keptFolder))) {
        qCDebug(lcJournal).noquote() << "cannot make" << keptFolder << "to keep" << path << ":"
                                     << QString::fromStdString(SystemErrorText(errno));
        return {};
    }
    const int fd = ::open(LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        qCDebug(lcJournal).noquote()
            << "cannot open" << path
            << "to keep it:" << QString::fromStdString(SystemErrorText(errno));
        return {};
    }
    QString target;
    if (LockJournal(fd)) {
        // A name taken already (the same journal kept twice?) gets a number.
        for (int n = 1; n < 1000 && target.isEmpty(); ++n) {
            const QString candidate = n == 1 ? keptFolder + u'/' + info.fileName()
                                             : QStringLiteral("%1/%2-%3.%4")
                                                   .arg(keptFolder, info.completeBaseName())
                                                   .arg(n)
                                                   .arg(info.suffix());
            const std::string from = LocalPath(path), to = LocalPath(candidate);
            int moved = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
            // A file system that cannot refuse to replace (some network ones):
            // look first.
            if (moved != 0 && errno == EINVAL) {
                struct stat st {};
                moved = ::lstat(to.c_str(), &st) == 0 ? (errno = EEXIST, -1)
                                                      : ::rename(from.c_str(), to.c_str());
            }
            if (moved == 0)
                target = candidate;
            else if (errno != EEXIST)
                break;
        }
    }
    ::close(fd);
    if (!target.isEmpty()) {
        SyncFolder(LocalPath(keptFolder));
        SyncFolder(LocalPath(info.absolutePath()));
    } else {
        qCDebug(lcJournal).noquote()
            << "journal" << path << "could not be moved into" << keptFolder;
    }
    return target;
}

}  // namespace dmm
