// SPDX-License-Identifier: GPL-3.0-or-later
// Data files that are too big, hostile or not files at all: a large file of
// real rows loads in memory that grows with the table, not with the file,
// and stops reading at once when cancelled; a snapshot never reaches outside
// itself; a save that cannot go through leaves the old file as it was; a
// FIFO or a device is written into and never replaced; foreign files are
// refused with a reason or read as what they are.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "record/data_files.h"
#include "record/file_output.h"
#include "support/process_figures.h"

namespace dmm {
namespace {

constexpr int64_t kMiB = int64_t(1) << 20;

// A text table of `rows` rows whose texts are far longer than the table
// keeps (it cuts them to 20 characters), so that the file is many times the
// table: a loader that kept the file's text would show. Built a block at a
// time so that the test itself holds little of it.
const std::string kLongText(60, 'x');

void WriteTextTable(const QString& path, int rows) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    std::string block(TextTableHeader());
    for (int i = 1; i <= rows; ++i) {
        block += std::to_string(i);
        for (int f = 0; f < 5; ++f) {
            block += '\t';
            block += kLongText;
        }
        block += "\r\n";
        if (block.size() > size_t(kMiB)) {
            ASSERT_EQ(file.write(block.data(), qint64(block.size())), qint64(block.size()));
            block.clear();
        }
    }
    ASSERT_EQ(file.write(block.data(), qint64(block.size())), qint64(block.size()));
}

TEST(LoaderFaults, ABigFileOfRealRowsLoadsInBoundedMemoryAndStopsWhenCancelled) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.txt"));
    constexpr int kRows = 200000;
    WriteTextTable(path, kRows);
    const int64_t fileBytes = QFile(path).size();
    ASSERT_GT(fileBytes, 50 * kMiB);

    {
        ReadingTable table;
        const bool peakKnown = test::ResetPeakResident();
        const int64_t before = test::ResidentBytes();
        const LoadOutcome out = LoadTextTableFile(path, table);
        ASSERT_TRUE(out.ok) << out.detail;
        EXPECT_EQ(table.size(), size_t(kRows));
        EXPECT_EQ(table.integer(kRows - 1, Field::No), kRows);
        EXPECT_EQ(table.text(kRows - 1, Field::Value), kLongText.substr(0, kTextFieldSize));
        // The table's own memory and the read block: the file's text is not
        // kept, though it is larger than the table.
        const int64_t grown =
            (peakKnown ? test::PeakResidentBytes() : test::ResidentBytes()) - before;
        if (test::kResidentShowsWhatIsHeld) {
            EXPECT_LT(grown, int64_t(table.bytes()) + 24 * kMiB)
                << "table " << table.bytes() << " bytes, file " << fileBytes << " bytes";
        }
        RecordProperty("table_bytes", std::to_string(table.bytes()));
        RecordProperty("resident_growth_bytes", std::to_string(grown));
    }

    // Cancelled at the first report: the rows before it stay, and the rest of
    // the file is never read.
    ReadingTable table;
    const int64_t readBefore = test::BytesReadSoFar();
    int reports = 0;
    const LoadOutcome out = LoadTextTableFile(path, table, [&](int64_t done, int64_t total) {
        EXPECT_EQ(total, fileBytes);
        EXPECT_LE(done, total);
        ++reports;
        return false;
    });
    const int64_t read = test::BytesReadSoFar() - readBefore;
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.detail, "loading was cancelled");
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(table.size(), 4095u);
    EXPECT_LE(read, int64_t(kTextReadBlockBytes) + kMiB);
}

// A snapshot that asks for outside text in every way a document type
// declaration allows. None of it may be read, the failure says why, and the
// table stays as it was.
TEST(SnapshotFaults, NothingOutsideTheSnapshotIsEverRead) {
    QTemporaryDir dir;
    const std::string secret = dir.filePath(QStringLiteral("secret.txt")).toStdString();
    {
        QFile file(QString::fromStdString(secret));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("SECRET");
    }
    ReadingTable one;
    one.appendRecorded(1, "12:00:01", "DC", "1.5", "V", "pass", 15);
    const std::string good = XmlSnapshotBytes(one);
    const std::string body = good.substr(good.find("<readingtable"));
    const std::string head = "<?xml version=\"1.0\"?>\n";
    auto withRowText = [&](const std::string& reference) {
        std::string s = body;
        s.replace(s.find("12:00:01"), 8, reference);
        return s;
    };

    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"external subset",
         head + "<!DOCTYPE readingtable SYSTEM \"file://" + secret + "\">\n" + body},
        {"public external subset", head +
                                       "<!DOCTYPE readingtable PUBLIC \"-//x//y//EN\" \"file://" +
                                       secret + "\">\n" + body},
        {"parameter entity", head + "<!DOCTYPE readingtable [\n<!ENTITY % p SYSTEM \"file://" +
                                 secret + "\">\n%p;\n]>\n" + body},
        {"external entity in a row", head +
                                         "<!DOCTYPE readingtable [\n<!ENTITY s SYSTEM \"file://" +
                                         secret + "\">\n]>\n" + withRowText("&s;")},
        {"external entity in an attribute",
         head + "<!DOCTYPE readingtable [\n<!ENTITY s SYSTEM \"file://" + secret + "\">\n]>\n" +
             [&] {
                 std::string s = body;
                 s.replace(s.find("version=\"1\""), 11, "version=\"&s;\"");
                 return s;
             }()},
        {"unparsed entity", head +
                                "<!DOCTYPE readingtable [\n<!NOTATION n SYSTEM \"n\">\n"
                                "<!ENTITY u SYSTEM \"file://" +
                                secret + "\" NDATA n>\n]>\n" + body},
        {"included document",
         [&] {
             std::string s = body;
             s.replace(s.find("<rows>"), 6,
                       "<rows><xi:include xmlns:xi=\"http://www.w3.org/2001/XInclude\" "
                       "href=\"file://" +
                           secret + "\" parse=\"text\"/>");
             return head + s;
         }()},
    };
    for (const auto& [what, bytes] : hostile) {
        ReadingTable table;
        table.appendRecorded(5, "kept", "AC", "2", "A", "Fail", 2);
        const uint64_t generation = table.generation();
        const LoadOutcome out = LoadXmlSnapshotBytes(bytes, table);
        EXPECT_FALSE(out.ok) << what;
        EXPECT_EQ(out.message, "Failed to Load File!") << what;
        const bool declared = what != "included document";
        EXPECT_NE(out.detail.find(declared ? "document type declaration" : "only <row>"),
                  std::string::npos)
            << what << ": " << out.detail;
        EXPECT_EQ(table.size(), 1u) << what;
        EXPECT_EQ(table.text(0, Field::Time), "kept") << what;
        EXPECT_EQ(table.generation(), generation) << what;
    }
}

// --- Saving where it cannot go through -----------------------------------------

std::string ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<unreadable>";
}

void WriteAll(const QString& path, std::string_view bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

ReadingTable NumberedRows(int rows) {
    ReadingTable table;
    for (int i = 1; i <= rows; ++i)
        table.appendRecorded(i, "12:00:00", "DC", std::to_string(i), "V", "pass", i);
    return table;
}

// Saves tables smaller and larger than the write buffer, in both forms, over
// old files in a folder where every save must fail: each says why, and the
// folder holds exactly its old files with their old bytes.
void ExpectEverySaveFailsAndKeepsTheOldFiles(const QString& dir, const std::string& reason) {
    const ReadingTable small = NumberedRows(3);
    const ReadingTable large = NumberedRows(5000);
    ASSERT_LT(TextTableBytes(small).size(), FileOutput::kBufferBytes);
    ASSERT_GT(TextTableBytes(large).size(), FileOutput::kBufferBytes);
    const QStringList before = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    for (const char* name : {"old.txt", "old.xml"}) {
        const QString path = dir + '/' + QLatin1String(name);
        for (const ReadingTable* table : {&small, &large}) {
            const SaveOutcome out = SaveDataFile(*table, path);
            EXPECT_FALSE(out.ok) << name << ' ' << table->size();
            EXPECT_EQ(out.reason, reason) << name << ' ' << table->size();
            EXPECT_EQ(out.message, "Could not save table to specified file: " + path.toStdString() +
                                       "\n" + reason);
            EXPECT_EQ(ReadAll(path), "old " + std::string(name)) << table->size();
        }
    }
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), before);
}

TEST(SaveFaults, AFullFileSystemKeepsTheOldFiles) {
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath(QStringLiteral("full"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    const QByteArray where = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", where.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
        GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
    struct Unmount {
        QByteArray where;
        ~Unmount() { ::umount2(where.constData(), MNT_DETACH); }
    } unmount{where};
    WriteAll(mountPoint + "/old.txt", "old old.txt");
    WriteAll(mountPoint + "/old.xml", "old old.xml");
    {
        QFile filler(mountPoint + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
    }
    ExpectEverySaveFailsAndKeepsTheOldFiles(mountPoint, "No space left on device");
}

// The same without a file system of its own: beyond a file size limit every
// write fails, the last piece of a small table included.
TEST(SaveFaults, AFileSizeLimitKeepsTheOldFiles) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("old.txt"), "old old.txt");
    WriteAll(dir.filePath("old.xml"), "old old.xml");
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ExpectEverySaveFailsAndKeepsTheOldFiles(dir.path(), "File too large");
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::sigaction(SIGXFSZ, &previous, nullptr);
}

// A FIFO gets the table through it and stays a FIFO; one that nobody reads
// fails at once with the reason. A device made here stays a device; a link
// stays a link to the updated file.
TEST(SaveFaults, WhatIsNotARegularFileIsWrittenIntoAndNeverReplaced) {
    QTemporaryDir dir;
    const ReadingTable table = NumberedRows(4000);
    const std::string expected = TextTableBytes(table);
    auto isA = [](const QString& path, mode_t type) {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 &&
               (st.st_mode & S_IFMT) == type;
    };

    const QString fifo = dir.filePath("readings.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const SaveOutcome unread = SaveTableToFile(table, fifo);
    EXPECT_FALSE(unread.ok);
    EXPECT_EQ(unread.reason, "nobody is reading from this FIFO");
    std::string received;
    std::thread reader([&] {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY);
        char buf[4096];
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
            received.append(buf, size_t(n));
        ::close(fd);
    });
    const SaveOutcome waited = SaveTableToFile(table, fifo, SaveOptions{.waitForReader = true});
    reader.join();
    EXPECT_TRUE(waited.ok) << waited.message;
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(isA(fifo, S_IFIFO));

    const QString device = dir.filePath("null.xml");
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_TRUE(SaveDataFile(table, device).ok);
        EXPECT_TRUE(isA(device, S_IFCHR));
    } else {
        std::printf("no device node can be made here (%s); that case is left out\n",
                    std::strerror(errno));
    }

    const QString target = dir.filePath("target.txt"), link = dir.filePath("link.txt");
    WriteAll(target, "old");
    ASSERT_TRUE(QFile::link(target, link));
    EXPECT_TRUE(SaveTableToFile(table, link).ok);
    EXPECT_TRUE(isA(link, S_IFLNK));
    EXPECT_EQ(ReadAll(target), expected);
}

// --- Loading what is not a text table, or too much of one -----------------------------

TEST(LoadFaults, ForeignFilesAreReadAsWhatTheyAreOrRefusedWithAReason) {
    QTemporaryDir dir;
    const std::string text = "No\tTime\r\n1\t12:00:00\tDC\t1,5\tµV\tpass\r\n2\tb\r\n";
    const QString unicode = QString::fromUtf8(text.data(), qsizetype(text.size()));
    for (const auto encoding : {QStringConverter::Utf16LE, QStringConverter::Utf16BE}) {
        QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
        const QByteArray bytes = encoder.encode(unicode);
        const QString path = dir.filePath("unicode.txt");
        WriteAll(path, bytes.toStdString());
        ReadingTable table;
        const LoadOutcome out = LoadTextTableFile(path, table, {}, 3);  // odd blocks split chars
        ASSERT_TRUE(out.ok) << out.detail;
        ASSERT_EQ(table.size(), 2u);
        EXPECT_EQ(table.text(0, Field::Unit), "µV");
        EXPECT_EQ(table.text(1, Field::Time), "b");

        // Without its byte-order mark the first line is full of NULs.
        ReadingTable none;
        const LoadOutcome bare = LoadTextTableBytes(bytes.mid(2).toStdString(), none);
        EXPECT_FALSE(bare.ok);
        EXPECT_NE(bare.detail.find("line 1 holds a NUL byte"), std::string::npos) << bare.detail;
        EXPECT_TRUE(none.empty());
    }
    for (const std::string magic : {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", "PK\x03\x04"}) {
        ReadingTable table;
        const LoadOutcome out = LoadTextTableBytes(magic + "No\tTime\r\n1\t2\r\n", table);
        EXPECT_FALSE(out.ok);
        EXPECT_NE(out.detail.find("spreadsheet"), std::string::npos) << out.detail;
        EXPECT_TRUE(table.empty());
    }
}

TEST(LoadFaults, NoLoadGrowsTheTableBeyondItsLimit) {
    ReadingTable held = NumberedRows(2);
    const LoadOutcome text = LoadTextTableBytes("h\n3 a\n4 b\n5 c\n", held, {}, /*maxRows=*/4);
    EXPECT_FALSE(text.ok);
    EXPECT_EQ(text.detail, "line 4: the table would hold more than 4 rows");
    EXPECT_EQ(held.size(), 4u);

    const std::string snapshot = XmlSnapshotBytes(NumberedRows(5));
    ReadingTable replaced = NumberedRows(1);
    EXPECT_FALSE(LoadXmlSnapshotBytes(snapshot, replaced, {}, 4).ok);
    EXPECT_EQ(replaced.size(), 1u);
    EXPECT_TRUE(LoadXmlSnapshotBytes(snapshot, replaced, {}, 5).ok);
    EXPECT_EQ(replaced.size(), 5u);
}

// A snapshot row of a hundred megabytes fails once it passes a text line's
// length, without the reader ever holding it.
TEST(LoadFaults, ASnapshotRowLongerThanALineFailsInBoundedMemory) {
    QTemporaryDir dir;
    const std::string good = XmlSnapshotBytes(NumberedRows(1));
    const size_t at = good.find("<row>") + 5;
    const QString path = dir.filePath("long.xml");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(good.data(), qint64(at));
        const std::string block(kMiB, 'x');
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(file.write(block.data(), qint64(block.size())), qint64(block.size()));
        file.write(good.data() + at, qint64(good.size() - at));
    }
    ReadingTable table = NumberedRows(1);
    const bool peakKnown = test::ResetPeakResident();
    const int64_t before = test::ResidentBytes();
    const int64_t readBefore = test::BytesReadSoFar();
    const LoadOutcome out = LoadXmlSnapshot(path, table);
    const int64_t grown = (peakKnown ? test::PeakResidentBytes() : test::ResidentBytes()) - before;
    EXPECT_FALSE(out.ok);
    EXPECT_NE(out.detail.find("larger than 1048576"), std::string::npos) << out.detail;
    EXPECT_EQ(table.size(), 1u);
    EXPECT_LT(test::BytesReadSoFar() - readBefore, 8 * kMiB);
    RecordProperty("resident_growth_bytes", std::to_string(grown));
}

// A FIFO that nobody writes to is waited on only as long as the progress
// report says so; one with a writer is read like a file.
TEST(LoadFaults, AFifoWithoutAWriterCanBeAbandoned) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("readings.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ReadingTable table = NumberedRows(1);
    int asked = 0;
    const LoadOutcome out =
        LoadTableFromFile(fifo, table, false, [&](int64_t, int64_t) { return ++asked < 3; });
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.detail, "loading was cancelled");
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(table.size(), 1u);

    const std::string bytes = TextTableBytes(NumberedRows(3));
    std::thread writer([&] {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        static_cast<void>(n);
        ::close(fd);
    });
    const LoadOutcome read = LoadTableFromFile(fifo, table, false);
    writer.join();
    EXPECT_TRUE(read.ok) << read.detail;
    EXPECT_EQ(table.size(), 4u);
}

}  // namespace
}  // namespace dmm
