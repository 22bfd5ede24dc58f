// Data files that are too big or hostile: a large file of real rows loads in
// memory that grows with the table, not with the file, and stops reading at
// once when cancelled; a snapshot never reaches outside itself, however its
// document type declaration asks to.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "record/data_files.h"
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

}  // namespace
}  // namespace dmm
