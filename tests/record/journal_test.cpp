// SPDX-License-Identifier: GPL-3.0-or-later
// The recording journal: rows come back exactly as recorded, a running
// program's journal is left alone, a killed one's rows up to a second before
// the kill are kept, a torn last line is ignored, and a full disk is
// reported once while recording goes on.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "record/journal.h"
#include "support/journal_rows.h"

extern char** environ;

namespace dmm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<unreadable>";
}

void AppendBytes(const QString& path, std::string_view bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append));
    ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

std::vector<RowData> RowsOf(const ReadingTable& table) {
    std::vector<RowData> rows;
    for (size_t i = 0; i < table.size(); ++i)
        rows.push_back(table.row(i));
    return rows;
}

// A journal of an ended program holding rows 1..rows.
QString EndedJournal(const QString& dir, int rows) {
    Journal journal(dir);
    EXPECT_TRUE(journal.open()) << journal.error();
    ReadingTable table;
    for (int n = 1; n <= rows; ++n) {
        table.append(test::NumberedRow(n));
        journal.append(table, table.size() - 1, "");
    }
    journal.flush();
    return journal.path();
}

TEST(Journal, RowsComeBackExactlyAsRecorded) {
    QTemporaryDir dir;
    ReadingTable table;
    table.append(test::NumberedRow(1));
    table.append(RowData{});  // every field null
    table.append(RowData{.no = -7,
                         .time = "",
                         .dcac = "q\"b\\s",
                         .value = std::string("c\x01\t\n\x1f", 5),
                         .unit = "\xc2\xb5\xce\xa9 \xc2\xb0"
                                 "C",
                         .judge = "\x7f/\u00e9",
                         .nval = INT32_MIN});
    Journal journal(dir.path());
    ASSERT_TRUE(journal.open()) << journal.error();
    for (size_t i = 0; i < table.size(); ++i)
        journal.append(table, i, i == 0 ? "AUTO" : "");
    journal.flush();
    EXPECT_FALSE(journal.failed());

    ReadingTable restored;
    const LoadOutcome out = RestoreJournal(journal.path(), restored);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(RowsOf(restored), RowsOf(table));

    const std::string first = ReadAll(journal.path()).substr(0, ReadAll(journal.path()).find('\n'));
    EXPECT_NE(first.find("\"auto\":\"AUTO\""), std::string::npos) << first;
    const QRegularExpression stamp(
        QStringLiteral(R"("timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"\}$)"));
    EXPECT_TRUE(stamp.match(QString::fromStdString(first)).hasMatch()) << first;
}

TEST(Journal, RestartEmptiesIt) {
    QTemporaryDir dir;
    Journal journal(dir.path());
    ASSERT_TRUE(journal.open()) << journal.error();
    ReadingTable table;
    for (int n = 1; n <= 3; ++n) {
        table.append(test::NumberedRow(n));
        journal.append(table, table.size() - 1, "");
    }
    journal.restart();
    table.append(test::NumberedRow(4));
    journal.append(table, 3, "");
    journal.flush();

    ReadingTable restored;
    ASSERT_TRUE(RestoreJournal(journal.path(), restored).ok);
    EXPECT_EQ(RowsOf(restored), std::vector<RowData>{test::NumberedRow(4)});
}

TEST(Journal, ARunningProgramsJournalIsNeitherTakenNorOffered) {
    QTemporaryDir dir;
    Journal running(dir.path());
    ASSERT_TRUE(running.open()) << running.error();
    ReadingTable table;
    table.append(test::NumberedRow(1));
    running.append(table, 0, "");
    running.flush();

    // Another program's journal, itself running, cannot take it and goes on.
    Journal other(dir.path());
    ASSERT_TRUE(other.open()) << other.error();
    EXPECT_FALSE(other.adopt(running.path()));
    EXPECT_NE(other.error(), "");
    EXPECT_FALSE(other.failed());
    other.append(table, 0, "");
    other.flush();
    ReadingTable restored;
    ASSERT_TRUE(RestoreJournal(other.path(), restored).ok);
    EXPECT_EQ(restored.size(), 1u);

    EXPECT_TRUE(FindUnsavedJournals(dir.path()).empty());
}

TEST(Journal, AnEmptyJournalIsRemovedAtTheEnd) {
    QTemporaryDir dir;
    {
        Journal journal(dir.path());
        ASSERT_TRUE(journal.open()) << journal.error();
        ASSERT_TRUE(QFile::exists(journal.path()));
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(Journal, AnEndedJournalIsOfferedAndAdoptedAfterItsLastWholeRow) {
    QTemporaryDir dir;
    const QString path = EndedJournal(dir.path(), 2);
    AppendBytes(path, "{\"no\":3,\"ti");  // cut by a crash

    const std::vector<UnsavedJournal> found = FindUnsavedJournals(dir.path());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, path);
    EXPECT_EQ(found[0].rows, 2u);
    EXPECT_TRUE(found[0].first.isValid());
    EXPECT_LE(found[0].first, found[0].last);

    Journal journal(dir.path());
    ASSERT_TRUE(journal.adopt(path)) << journal.error();
    EXPECT_EQ(journal.path(), path);
    ReadingTable table;
    table.append(test::NumberedRow(3));
    journal.append(table, 0, "");
    journal.flush();
    ReadingTable restored;
    const LoadOutcome out = RestoreJournal(path, restored);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(RowsOf(restored), (std::vector<RowData>{test::NumberedRow(1), test::NumberedRow(2),
                                                      test::NumberedRow(3)}));
}

TEST(Journal, ATornLastLineIsIgnored) {
    QTemporaryDir dir;
    const QString path = EndedJournal(dir.path(), 2);
    AppendBytes(path, "{\"no\":3,\"time\":\"12:0");
    ReadingTable restored;
    const LoadOutcome out = RestoreJournal(path, restored);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(out.rowsLoaded, 2u);
    EXPECT_EQ(restored.size(), 2u);
}

TEST(Journal, ABadLineBeforeTheLastFailsTheRestore) {
    QTemporaryDir dir;
    const QString path = EndedJournal(dir.path(), 1);
    AppendBytes(path, "{\"no\":\"two\"}\n");
    const QString whole = dir.filePath(QStringLiteral("whole.jsonl"));
    ASSERT_TRUE(QFile::copy(EndedJournal(dir.path(), 1), whole));
    AppendBytes(path, ReadAll(whole));

    ReadingTable restored;
    const LoadOutcome out = RestoreJournal(path, restored);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.message, kLoadFailedText);
    EXPECT_NE(out.detail.find("line 2"), std::string::npos) << out.detail;
    EXPECT_EQ(RowsOf(restored), std::vector<RowData>{test::NumberedRow(1)});
}

TEST(Journal, KeepingMovesItIntoKept) {
    QTemporaryDir dir;
    const QString path = EndedJournal(dir.path(), 1);
    const std::string bytes = ReadAll(path);
    const QString kept = KeepJournal(path);
    EXPECT_EQ(kept, dir.filePath(QStringLiteral("kept/")) + QFileInfo(path).fileName());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(ReadAll(kept), bytes);
    EXPECT_TRUE(FindUnsavedJournals(dir.path()).empty());
}

// Lines in the file, counted the way a restore would.
size_t WholeLines(const QString& dir) {
    const QStringList files = QDir(dir).entryList({QStringLiteral("*.jsonl")}, QDir::Files);
    if (files.size() != 1)
        return 0;
    const std::string bytes = ReadAll(QDir(dir).filePath(files[0]));
    return size_t(std::count(bytes.begin(), bytes.end(), '\n'));
}

TEST(Journal, AKilledProgramKeepsEveryRowUpToASecondBeforeTheKill) {
    QTemporaryDir dir;
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report[1], STDOUT_FILENO);
    const QByteArray folder = QFile::encodeName(dir.path());
    char* const argv[] = {const_cast<char*>(JOURNAL_WRITER_PATH),
                          const_cast<char*>(folder.constData()), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, JOURNAL_WRITER_PATH, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(report[1]);

    // The child's reports: the number of the last row it has appended.
    int32_t appended = 0;
    std::string partial;
    auto readReports = [&](std::chrono::milliseconds wait) {
        pollfd p{report[0], POLLIN, 0};
        if (::poll(&p, 1, int(wait.count())) <= 0)
            return;
        char buf[4096];
        const ssize_t n = ::read(report[0], buf, sizeof buf);
        if (n <= 0)
            return;
        partial.append(buf, size_t(n));
        const size_t end = partial.rfind('\n');
        if (end == std::string::npos)
            return;
        const size_t start = partial.rfind('\n', end - 1);
        appended = std::stoi(partial.substr(start == std::string::npos ? 0 : start + 1));
        partial.erase(0, end + 1);
    };

    const auto deadline = Clock::now() + 60s;
    while (WholeLines(dir.path()) < 100 && Clock::now() < deadline)
        readReports(10ms);
    ASSERT_GE(WholeLines(dir.path()), 100u) << "the child journals nothing";
    readReports(0ms);
    const int32_t appendedBeforeTheLastSecond = appended;
    const auto killAt = Clock::now() + 1100ms;
    while (Clock::now() < killAt)
        readReports(std::chrono::duration_cast<std::chrono::milliseconds>(killAt - Clock::now()));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report[0]);

    const std::vector<UnsavedJournal> found = FindUnsavedJournals(dir.path());
    ASSERT_EQ(found.size(), 1u);
    ReadingTable restored;
    const LoadOutcome out = RestoreJournal(found[0].path, restored);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_GE(restored.size(), size_t(appendedBeforeTheLastSecond));
    EXPECT_LE(restored.size(), size_t(appended) + 1);  // the one the child did not report yet
    for (size_t i = 0; i < restored.size(); ++i)
        ASSERT_EQ(restored.row(i), test::NumberedRow(int32_t(i + 1))) << "row " << i;
}

// A small file system of its own under dir, or none where mounting is not
// allowed; unmounted at the end.
class SmallFileSystem {
  public:
    SmallFileSystem(const QString& dir, unsigned long flags) : where_(QFile::encodeName(dir)) {
        QDir().mkpath(dir);
        if (::mount("tmpfs", where_.constData(), "tmpfs", MS_NOSUID | MS_NODEV | flags,
                    "size=64k") != 0) {
            why_ = std::strerror(errno);
        }
    }
    ~SmallFileSystem() {
        if (why_.empty())
            ::umount2(where_.constData(), MNT_DETACH);
    }
    const std::string& whyNot() const { return why_; }

  private:
    QByteArray where_;
    std::string why_;
};

TEST(Journal, AReadOnlyFolderSaysWhy) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("readonly"));
    const SmallFileSystem readOnly(folder, MS_RDONLY);
    if (!readOnly.whyNot().empty())
        GTEST_SKIP() << "no small file system can be mounted here: " << readOnly.whyNot();
    Journal journal(folder);
    EXPECT_FALSE(journal.open());
    EXPECT_TRUE(journal.failed());
    EXPECT_EQ(journal.error(), "Read-only file system");
}

TEST(Journal, AFullDiskIsReportedOnceAndRecordingGoesOn) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("full"));
    const SmallFileSystem full(folder, 0);
    if (!full.whyNot().empty())
        GTEST_SKIP() << "no small file system can be mounted here: " << full.whyNot();

    std::atomic<int> reports{0};
    Journal journal(folder);
    journal.setFailureHandler([&](const std::string&) { ++reports; });
    ASSERT_TRUE(journal.open()) << journal.error();
    ReadingTable table;
    const auto deadline = Clock::now() + 60s;
    for (int32_t n = 1; !journal.failed() && Clock::now() < deadline; ++n) {
        table.append(test::NumberedRow(n));
        journal.append(table, table.size() - 1, "AUTO");
        if (n % 1000 == 0)
            journal.flush();
    }
    ASSERT_TRUE(journal.failed());
    EXPECT_EQ(journal.error(), "No space left on device");

    for (int32_t n = 0; n < 1000; ++n)
        journal.append(table, 0, "AUTO");
    journal.flush();
    EXPECT_EQ(reports.load(), 1);
}

}  // namespace
}  // namespace dmm
