// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QTemporaryDir>
#include <algorithm>
#include <random>

#include "record/data_files.h"

namespace dmm {
namespace {

using namespace std::string_literals;
using Opt = std::optional<std::string>;

RowData Row(std::optional<int32_t> no, Opt time, Opt dcac, Opt value, Opt unit, Opt judge,
            std::optional<int32_t> nval) {
    RowData r;
    r.no = no;
    r.time = std::move(time);
    r.dcac = std::move(dcac);
    r.value = std::move(value);
    r.unit = std::move(unit);
    r.judge = std::move(judge);
    r.nval = nval;
    return r;
}

// A row as the text table gives it back: six fields, nval empty.
RowData TextRow(int32_t no, std::string time, std::string dcac, std::string value, std::string unit,
                std::string judge) {
    return Row(no, time, dcac, value, unit, judge, std::nullopt);
}

std::vector<RowData> RowsOf(const ReadingTable& t) {
    std::vector<RowData> rows;
    for (size_t i = 0; i < t.size(); ++i)
        rows.push_back(t.row(i));
    return rows;
}

void WriteBytes(const QString& path, std::string_view bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

std::string ReadBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll().toStdString();
}

constexpr std::string_view kHeader = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n";

class DataFiles : public ::testing::Test {
  protected:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

TEST(DataFileForm, ChosenByExactExtension) {
    EXPECT_EQ(FormOf("a.xml"), FileForm::Xml);
    EXPECT_EQ(FormOf("/some/dir/readings.txt.xml"), FileForm::Xml);
    EXPECT_EQ(FormOf(".xml"), FileForm::Xml);
    EXPECT_EQ(FormOf("a.XML"), FileForm::Text);
    EXPECT_EQ(FormOf("a.Xml"), FileForm::Text);
    EXPECT_EQ(FormOf("a.xls"), FileForm::Text);
    EXPECT_EQ(FormOf("a.txt"), FileForm::Text);
    EXPECT_EQ(FormOf("a.xml.txt"), FileForm::Text);
    EXPECT_EQ(FormOf("a.xmlx"), FileForm::Text);
    EXPECT_EQ(FormOf("xml"), FileForm::Text);
    EXPECT_EQ(FormOf("/dir.xml/readings"), FileForm::Text);
    EXPECT_EQ(FormOf(""), FileForm::Text);
}

TEST(TextTable, BytesOfTheSavedTable) {
    ReadingTable t;
    EXPECT_EQ(TextTableBytes(t), kHeader);  // the header alone, CR LF included

    t.appendRecorded(1, "12:00:01", "DC", "1.234", "V", "pass", 1234);
    t.append(Row(2, "12:00:02", std::nullopt, "", " \t",
                 "\x01"
                 "Fail\x1f",
                 7));  // nulls, blanks
    t.append(Row(-2147483648, "  a b  ", "AC", "-0.5", "m*", std::nullopt, std::nullopt));
    t.append(Row(std::nullopt, "x", "y", "z", "u", "v", 3));  // no number: an empty column
    t.append(Row(0, "\xC2\xB5s", "\"q\"", "1,5", "#", "NULL", 0));
    const std::string expected = std::string(kHeader) +
                                 "1\t12:00:01\tDC\t1.234\tV\tpass\r\n"
                                 "2\t12:00:02\tNULL\tNULL\tNULL\tFail\r\n"
                                 "-2147483648\ta b\tAC\t-0.5\tm*\tNULL\r\n"
                                 "\tx\ty\tz\tu\tv\r\n"
                                 "0\t\xC2\xB5s\t\"q\"\t1,5\t#\tNULL\r\n";
    EXPECT_EQ(TextTableBytes(t), expected);
}

TEST_F(DataFiles, SaveWritesTheFileAndReports) {
    ReadingTable t;
    t.appendRecorded(5, "01:02:03", "DC", "0.001", "V", "", -1);
    const QString name = path("readings.xls");
    const SaveOutcome ok = SaveTableToFile(t, name);
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.form, FileForm::Text);
    EXPECT_EQ(ok.message, "save table to specified file: " + name.toStdString() + " Scuss!");
    EXPECT_EQ(ReadBytes(name), TextTableBytes(t));
    EXPECT_EQ(ReadBytes(name), std::string(kHeader) + "5\t01:02:03\tDC\t0.001\tV\tNULL\r\n");

    // Saving again replaces the content rather than adding to it.
    t.clear();
    ASSERT_TRUE(SaveTableToFile(t, name).ok);
    EXPECT_EQ(ReadBytes(name), kHeader);

    // The name in capitals is still a text table, both ways.
    const QString upper = path("readings.XML");
    t.appendRecorded(1, "a", "b", "c", "d", "e", 9);
    ASSERT_TRUE(SaveDataFile(t, upper).ok);
    EXPECT_EQ(ReadBytes(upper).substr(0, kHeader.size()), kHeader);
    ReadingTable back;
    const LoadOutcome lo = LoadTableFromFile(upper, back, false);
    EXPECT_TRUE(lo.ok) << lo.detail;
    EXPECT_EQ(lo.form, FileForm::Text);
    EXPECT_EQ(RowsOf(back), std::vector<RowData>{TextRow(1, "a", "b", "c", "d", "e")});
}

TEST_F(DataFiles, FailedSaveReportsAndKeepsWhatWasThere) {
    ReadingTable t;
    t.appendRecorded(1, "12:00:00", "DC", "1", "V", "pass", 1);

    const QString noDir = path("missing/readings.txt");
    const SaveOutcome a = SaveTableToFile(t, noDir);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.message, "Could not save table to specified file: " + noDir.toStdString() +
                             "\nNo such file or directory");
    EXPECT_FALSE(QFile::exists(noDir));

    // A name that is a directory: the save fails and the directory's content stays.
    ASSERT_TRUE(QDir(dir_.path()).mkdir("taken.txt"));
    const QString inner = path("taken.txt/keep.txt");
    WriteBytes(inner, "old");
    const SaveOutcome b = SaveTableToFile(t, path("taken.txt"));
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.message, "Could not save table to specified file: " +
                             path("taken.txt").toStdString() + "\nIs a directory");
    EXPECT_EQ(ReadBytes(inner), "old");

    const SaveOutcome x = SaveXmlSnapshot(t, path("missing/readings.xml"));
    EXPECT_FALSE(x.ok);
    EXPECT_EQ(x.form, FileForm::Xml);
    EXPECT_FALSE(x.message.empty());  // the failure's own text
    EXPECT_FALSE(SaveDataFile(t, path("taken.txt")).ok);

    // Where permissions count (not as root), a file in a read-only directory
    // keeps its old content when the save cannot go through.
    if (geteuid() != 0) {
        ASSERT_TRUE(QDir(dir_.path()).mkdir("ro"));
        const QString old = path("ro/readings.txt");
        WriteBytes(old, "old content");
        QFile::setPermissions(path("ro"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        EXPECT_FALSE(SaveTableToFile(t, old).ok);
        EXPECT_FALSE(SaveXmlSnapshot(t, old).ok);
        EXPECT_EQ(ReadBytes(old), "old content");
        QFile::setPermissions(
            path("ro"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

TEST(TextTable, Tokenizer) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitTokens(""), V{});
    EXPECT_EQ(SplitTokens(" \t\r\n\x01\x1f "), V{});
    EXPECT_EQ(SplitTokens("1\t12:00:00\tDC"), (V{"1", "12:00:00", "DC"}));
    // Runs of separators count as one; ends are ignored; every code 1..32 separates.
    EXPECT_EQ(SplitTokens("\t\ta \t\x01\x02\x0b b\x1f\x20"), (V{"a", "b"}));
    EXPECT_EQ(SplitTokens("a\x7f"
                          "b\xa0"
                          "c"),
              (V{"a\x7f"
                 "b\xa0"
                 "c"}));                               // 127 and up do not
    EXPECT_EQ(SplitTokens("1.5 V"), (V{"1.5", "V"}));  // a blank splits a field
    // Quoted tokens: quotes removed, "" inside stands for one quote.
    EXPECT_EQ(SplitTokens("\"a b\"\tc"), (V{"a b", "c"}));
    EXPECT_EQ(SplitTokens("\"a\"\"b\""), (V{"a\"b"}));
    EXPECT_EQ(SplitTokens("\"\""), (V{""}));
    EXPECT_EQ(SplitTokens("x \"\" y"), (V{"x", "", "y"}));
    EXPECT_EQ(SplitTokens("\"\"\"\""), (V{"\""}));
    EXPECT_EQ(SplitTokens("\"\"\""), (V{"\""}));                // unclosed after a pair
    EXPECT_EQ(SplitTokens("\"abc\tdef"), (V{"abc\tdef"}));      // unclosed: to line end
    EXPECT_EQ(SplitTokens("\"a\"\"b"), (V{"a\"b"}));            // unclosed, with a pair
    EXPECT_EQ(SplitTokens("\"a\"b c"), (V{"a", "b", "c"}));     // text after the quote
    EXPECT_EQ(SplitTokens("\"a\"\"\"\"b\""), (V{"a\"\"b"}));    // two pairs
    EXPECT_EQ(SplitTokens("\"a\"\"\"b\""), (V{"a\"", "b\""}));  // a pair, then the close
    EXPECT_EQ(SplitTokens("\"a\"\"b\" \"c\""), (V{"a\"b", "c"}));
    EXPECT_EQ(SplitTokens("a\"b c\""), (V{"a\"b", "c\""}));  // a quote inside a token
    EXPECT_EQ(SplitTokens("\"\t\"\"\t\""), (V{"\t\"\t"}));
}

TEST(TextTable, LoadsLinesAndTokensIntoFields) {
    ReadingTable t;
    // Line breaks of every kind, a final break making no empty line, blank
    // lines skipped, "NULL" kept as a text, quoted texts and numbers with signs.
    const std::string text =
        "whatever the header holds\r"
        "1\t12:00:01\tDC\t1.234\tV\tpass\r\n"
        "\r\n"
        "  \t \n"
        "+2 t NULL \"a b\" \"\" x -7\n"
        "\"\" \"\" c\r"
        "-2147483648 t\n"
        "2147483647\r\n";
    const LoadOutcome out = LoadTextTableBytes(text, t);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(out.rowsLoaded, 5u);
    EXPECT_TRUE(out.message.empty());
    const std::vector<RowData> expected = {
        TextRow(1, "12:00:01", "DC", "1.234", "V", "pass"),
        Row(2, "t", "NULL", "a b", "", "x", -7),
        Row(std::nullopt, "", "c", std::nullopt, std::nullopt, std::nullopt, std::nullopt),
        Row(-2147483648, "t", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt),
        Row(2147483647, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
            std::nullopt),
    };
    EXPECT_EQ(RowsOf(t), expected);

    // A NUL fails the line it is in; the rows before it stay.
    ReadingTable n;
    const LoadOutcome nul = LoadTextTableBytes("h\n1 a\n2 b\0c\n3 d\n"s, n);
    EXPECT_FALSE(nul.ok);
    EXPECT_EQ(nul.detail, "line 3 holds a NUL byte: the file is damaged");
    EXPECT_EQ(RowsOf(n), (std::vector<RowData>{Row(1, "a", {}, {}, {}, {}, {})}));

    // Without a header the first data row is lost; a lone header gives nothing.
    ReadingTable h;
    ASSERT_TRUE(LoadTextTableBytes("1 a\n2 b", h).ok);
    EXPECT_EQ(RowsOf(h), std::vector<RowData>{Row(2, "b", {}, {}, {}, {}, {})});
    ReadingTable e;
    const LoadOutcome onlyHeader = LoadTextTableBytes("No\tTime", e);
    EXPECT_TRUE(onlyHeader.ok);
    EXPECT_EQ(onlyHeader.rowsLoaded, 0u);
    EXPECT_TRUE(e.empty());

    // Texts are cut to the field size by the table.
    ReadingTable c;
    ASSERT_TRUE(LoadTextTableBytes("h\n1 abcdefghijklmnopqrstuvwxyz", c).ok);
    EXPECT_EQ(c.text(0, Field::Time), "abcdefghijklmnopqrst");
}

TEST_F(DataFiles, TextRoundTripAndAppending) {
    ReadingTable t;
    t.appendRecorded(1, "12:00:01", "DC", "1.234", "V", "pass", 1234);
    t.appendRecorded(3, " 12:00:02 ", "AC", "-0.010", "*", "Fail", -10);
    t.append(Row(4, "12:00:03", std::nullopt, "OL", "\xC2\xB5V", "", 5));
    const QString name = path("r.txt");
    ASSERT_TRUE(SaveTableToFile(t, name).ok);

    ReadingTable back;
    back.appendRecorded(99, "kept", "DC", "0", "V", "pass", 0);
    LoadOutcome out = LoadTableFromFile(name, back, false);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(out.rowsLoaded, 3u);
    const std::vector<RowData> loaded = {
        TextRow(1, "12:00:01", "DC", "1.234", "V", "pass"),
        TextRow(3, "12:00:02", "AC", "-0.010", "*", "Fail"),
        TextRow(4, "12:00:03", "NULL", "OL", "\xC2\xB5V", "NULL"),
    };
    std::vector<RowData> expected = {Row(99, "kept", "DC", "0", "V", "pass", 0)};
    expected.insert(expected.end(), loaded.begin(), loaded.end());
    EXPECT_EQ(RowsOf(back), expected);

    // Loading the same file again doubles the loaded rows.
    ASSERT_TRUE(LoadTableFromFile(name, back, false).ok);
    expected.insert(expected.end(), loaded.begin(), loaded.end());
    EXPECT_EQ(RowsOf(back), expected);

    // With the empty-first flag the table starts over.
    ASSERT_TRUE(LoadTableFromFile(name, back, true).ok);
    EXPECT_EQ(RowsOf(back), loaded);
}

TEST(TextTable, BlankInsideATextShiftsTheFields) {
    ReadingTable t;
    t.appendRecorded(1, "12:00:01", "DC", "1.5 V", "V", "7", 0);  // the value holds a blank
    t.appendRecorded(2, "12:00:02", "DC", "1.5 V", "V", "pass", 0);
    const std::string bytes = TextTableBytes(t);
    ReadingTable back;
    const LoadOutcome out = LoadTextTableBytes(bytes, back);
    // Row 1: the verdict "7" moves into nval and loads; row 2's "pass" cannot.
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.message, "Failed to Load File!");
    EXPECT_NE(out.detail.find("'pass' is not a valid integer value"), std::string::npos)
        << out.detail;
    EXPECT_EQ(RowsOf(back), std::vector<RowData>{Row(1, "12:00:01", "DC", "1.5", "V", "V", 7)});
}

TEST_F(DataFiles, FailingLoadsKeepEarlierRowsAndNoHalfRow) {
    ReadingTable t;
    t.appendRecorded(7, "x", "DC", "1", "V", "pass", 1);
    const RowData before = t.row(0);

    const LoadOutcome missing = LoadTableFromFile(path("nothing.txt"), t, false);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.message, "Failed to Load File!");
    const LoadOutcome missingXml = LoadTableFromFile(path("nothing.xml"), t, false);
    EXPECT_FALSE(missingXml.ok);
    EXPECT_EQ(missingXml.message, "Failed to Load File!");

    WriteBytes(path("empty.txt"), "");
    EXPECT_FALSE(LoadTableFromFile(path("empty.txt"), t, false).ok);
    WriteBytes(path("nul.txt"), "\0No\tTime\r\n1\r\n"s);  // NUL: the text is empty
    EXPECT_FALSE(LoadTableFromFile(path("nul.txt"), t, false).ok);
    EXPECT_EQ(RowsOf(t), std::vector<RowData>{before});

    // A bad number in the middle: rows before it stay, nothing of its line and
    // nothing after it is added, even though its first fields were fine.
    WriteBytes(path("bad.txt"), std::string(kHeader) +
                                    "1\ta\tDC\t1\tV\tpass\r\n"
                                    "2\tb\tDC\t2\tV\tpass\t12x\r\n"
                                    "3\tc\tDC\t3\tV\tpass\r\n");
    LoadOutcome bad = LoadTableFromFile(path("bad.txt"), t, false);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.message, "Failed to Load File!");
    EXPECT_EQ(bad.rowsLoaded, 1u);
    EXPECT_NE(bad.detail.find("'12x' is not a valid integer value"), std::string::npos);
    EXPECT_EQ(RowsOf(t), (std::vector<RowData>{before, TextRow(1, "a", "DC", "1", "V", "pass")}));

    // Eight tokens are one too many; seven are fine.
    ReadingTable s;
    EXPECT_TRUE(LoadTextTableBytes("h\n1 a b c d e 2\n", s).ok);
    const LoadOutcome eight = LoadTextTableBytes("h\n1 a b c d e 2 x\n", s);
    EXPECT_FALSE(eight.ok);
    EXPECT_EQ(RowsOf(s), std::vector<RowData>{Row(1, "a", "b", "c", "d", "e", 2)});

    // Numbers beyond 32 bits, without digits, or with blanks fail.
    for (const char* no : {"2147483648", "-2147483649", "99999999999999999999", "+", "-", "1.0",
                           "0x10", "\"1 \"", "\" 1\"", "1e3", "\xef\xbc\x91"}) {
        ReadingTable u;
        EXPECT_FALSE(LoadTextTableBytes(std::string("h\n") + no + " t\n", u).ok) << no;
        EXPECT_TRUE(u.empty()) << no;
        EXPECT_FALSE(LoadTextTableBytes(std::string("h\n1 a b c d e ") + no + "\n", u).ok) << no;
        EXPECT_TRUE(u.empty()) << no;
    }
}

TEST(TextTable, OverlongLineFailsTheLoad) {
    std::string text = "h\n1 a\n2 ";
    text.append(kMaxTextLineBytes, 'x');
    text += "\n3 c\n";
    ReadingTable t;
    const LoadOutcome out = LoadTextTableBytes(text, t);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(RowsOf(t), std::vector<RowData>{Row(1, "a", {}, {}, {}, {}, {})});

    // A line of exactly the limit still loads.
    std::string fits = "h\n1 ";
    fits.append(kMaxTextLineBytes - 2, 'y');
    ReadingTable f;
    EXPECT_TRUE(LoadTextTableBytes(fits, f).ok);
    EXPECT_EQ(f.size(), 1u);

    QTemporaryDir dir;
    WriteBytes(dir.filePath("long.txt"), text);
    ReadingTable g;
    EXPECT_FALSE(LoadTextTableFile(dir.filePath("long.txt"), g, {}, 4096).ok);
    EXPECT_EQ(RowsOf(g), RowsOf(t));
    WriteBytes(dir.filePath("fits.txt"), fits + "\r");
    ReadingTable h;
    EXPECT_TRUE(LoadTextTableFile(dir.filePath("fits.txt"), h, {}, 4096).ok);
    EXPECT_EQ(RowsOf(h), RowsOf(f));
}

TEST(TextTable, Windows1252Lines) {
    ReadingTable t;
    // Not UTF-8: read as Windows-1252 line by line; a valid UTF-8 line is read as UTF-8.
    const std::string text =
        "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n"
        "1\t12:00\tDC\t\x80\x39\tm\xb5V\t\xe9t\xe9\r\n"
        "2\t12:00\tDC\t\xc2\xb5\t\xe2\x82\xac\tok\r\n"
        "3\t\x81\x8d\x8f\x90\x9d\t\x9f\x99\t\xff\t\xa0x\r\n"
        "4\t\xc0\xaf\t\xed\xa0\x80\r\n";  // overlong and surrogate forms are not UTF-8
    const LoadOutcome out = LoadTextTableBytes(text, t);
    ASSERT_TRUE(out.ok) << out.detail;
    const std::vector<RowData> expected = {
        TextRow(1, "12:00", "DC",
                "\xe2\x82\xac"
                "9",
                "m\xc2\xb5V", "\xc3\xa9t\xc3\xa9"),
        TextRow(2, "12:00", "DC", "\xc2\xb5", "\xe2\x82\xac", "ok"),
        Row(3, "\xc2\x81\xc2\x8d\xc2\x8f\xc2\x90\xc2\x9d", "\xc5\xb8\xe2\x84\xa2", "\xc3\xbf",
            "\xc2\xa0x", std::nullopt, std::nullopt),
        Row(4, "\xc3\x80\xc2\xaf", "\xc3\xad\xc2\xa0\xe2\x82\xac", {}, {}, {}, {}),
    };
    EXPECT_EQ(RowsOf(t), expected);
}

// The file reader works block by block; the rows must not depend on where
// the blocks end (a CR LF split between two blocks, a line across many).
TEST_F(DataFiles, BlockBordersDoNotMatter) {
    std::mt19937 rng(12345);
    const std::string pieces[] = {"\r\n", "\r", "\n", "\t",   " ",        "\"",   "\"\"",
                                  "12",   "-3", "ab", "\xb5", "\xc2\xb5", "NULL", "x y"};
    for (int round = 0; round < 20; ++round) {
        std::string text = "No\tTime\r\n";
        for (int i = 0; i < 300; ++i) {
            text += std::to_string(i);
            const int n = int(rng() % 6);
            for (int k = 0; k < n; ++k)
                text += pieces[rng() % std::size(pieces)];
            text += rng() % 2 ? "\r\n" : "\n";
        }
        if (round % 2)
            text.pop_back();  // sometimes no final break, or a lone CR last
        WriteBytes(path("blocks.txt"), text);
        ReadingTable whole;
        const LoadOutcome w = LoadTextTableBytes(text, whole);
        for (size_t block : {1, 2, 3, 7, 64, 1000}) {
            ReadingTable t;
            const LoadOutcome o = LoadTextTableFile(path("blocks.txt"), t, {}, block);
            EXPECT_EQ(o.ok, w.ok) << round << " " << block;
            EXPECT_EQ(o.rowsLoaded, w.rowsLoaded) << round << " " << block;
            EXPECT_EQ(RowsOf(t), RowsOf(whole)) << round << " " << block;
        }
    }
}

TEST_F(DataFiles, ProgressAndCancelling) {
    std::string text(kHeader);
    for (int i = 1; i <= 10000; ++i)
        text += std::to_string(i) + "\tt\tDC\t1\tV\tpass\r\n";
    WriteBytes(path("p.txt"), text);

    std::vector<std::pair<int64_t, int64_t>> calls;
    ReadingTable t;
    const LoadOutcome out = LoadTableFromFile(path("p.txt"), t, false, [&](int64_t d, int64_t n) {
        calls.emplace_back(d, n);
        return true;
    });
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(t.size(), 10000u);
    // After lines 4096 and 8192 (the header being line 1), with the bytes up
    // to the end of that line.
    ASSERT_EQ(calls.size(), 2u);
    auto endOfLine = [&](int line) {
        size_t pos = 0;
        for (int i = 0; i < line; ++i)
            pos = text.find("\r\n", pos) + 2;
        return int64_t(pos);
    };
    EXPECT_EQ(calls[0], std::make_pair(endOfLine(4096), int64_t(text.size())));
    EXPECT_EQ(calls[1], std::make_pair(endOfLine(8192), int64_t(text.size())));

    ReadingTable c;
    const LoadOutcome cancelled =
        LoadTableFromFile(path("p.txt"), c, false, [](int64_t, int64_t) { return false; });
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.message, "Failed to Load File!");
    EXPECT_EQ(c.size(), 4095u);  // the lines up to the first report, the header one of them

    // The snapshot reports progress too, and is left untouched when cancelled.
    ASSERT_TRUE(SaveXmlSnapshot(t, path("p.xml")).ok);
    ReadingTable x;
    x.appendRecorded(1, "a", "b", "c", "d", "e", 1);
    int reports = 0;
    EXPECT_FALSE(LoadTableFromFile(path("p.xml"), x, false, [&](int64_t d, int64_t n) {
                     EXPECT_LE(d, n);
                     return ++reports < 2;
                 }).ok);
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(x.size(), 1u);
}

// Texts that XML cannot hold as they are.
ReadingTable AwkwardTable() {
    ReadingTable t;
    t.appendRecorded(1, "12:00:01", "DC", "1.234", "V", "pass", 1234);
    t.append(Row(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt));
    t.append(Row(0, "", "", "", "", "", 0));
    t.append(Row(INT32_MIN, "\"q\" 'a'", "&amp; <x>", "]]>", "a\tb\nc\rd", " lead ", INT32_MAX));
    std::string controls;
    for (char c = 1; c < 32; ++c)
        controls += c;
    t.append(Row(-1, controls.substr(0, 16), controls.substr(16), std::string("\0x", 2), "\x7f",
                 "\\x41\\\\", std::nullopt));
    t.append(Row(std::nullopt, "\xc2\xb5V \xe2\x82\xac", "\xf0\x9f\x98\x80",
                 "\xef\xbf\xbe\xef\xbf\xbf", "\xc2\x85\xc2\x9f", "\xe2\x80\xa8", 42));
    t.append(Row(7, "\xb5\xff\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80", "\\", 8));
    return t;
}

TEST_F(DataFiles, SnapshotRoundTrip) {
    const ReadingTable t = AwkwardTable();
    const QString name = path("snap.xml");
    const SaveOutcome saved = SaveDataFile(t, name);
    ASSERT_TRUE(saved.ok) << saved.message;
    EXPECT_EQ(saved.form, FileForm::Xml);
    EXPECT_TRUE(saved.message.empty());
    const std::string bytes = ReadBytes(name);
    EXPECT_EQ(bytes, XmlSnapshotBytes(t));
    // No control character but the line breaks and the TABs between fields,
    // and as many TABs as the rows have separators.
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\t'), std::ptrdiff_t(6 * t.size()));
    for (const char c : bytes) {
        EXPECT_TRUE(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 32) << int(c);
    }

    // Loading replaces the rows that were there, and the view sees the change.
    ReadingTable back;
    back.appendRecorded(99, "old", "DC", "0", "V", "pass", 0);
    const uint64_t generation = back.generation();
    const LoadOutcome out = LoadTableFromFile(name, back, false);
    ASSERT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(out.form, FileForm::Xml);
    EXPECT_EQ(out.rowsLoaded, t.size());
    EXPECT_EQ(RowsOf(back), RowsOf(t));
    EXPECT_NE(back.generation(), generation);
    for (size_t i = 0; i < t.size(); ++i) {
        for (size_t f = 0; f < kFieldCount; ++f) {
            EXPECT_EQ(back.isNull(i, Field(f)), t.isNull(i, Field(f))) << i << " " << f;
        }
    }

    // An empty table and randomly filled ones come back as they were.
    ReadingTable empty;
    ReadingTable e;
    e.appendRecorded(1, "a", "b", "c", "d", "e", 1);
    ASSERT_TRUE(LoadXmlSnapshotBytes(XmlSnapshotBytes(empty), e).ok);
    EXPECT_TRUE(e.empty());
    std::mt19937 rng(7);
    ReadingTable r;
    for (int i = 0; i < 500; ++i) {
        RowData row;
        if (rng() % 4)
            row.no = int32_t(rng());
        if (rng() % 4)
            row.nval = int32_t(rng());
        for (int f = 1; f <= 5; ++f) {
            if (rng() % 5 == 0)
                continue;
            std::string s(rng() % 22, ' ');
            for (auto& c : s)
                c = char(rng() % 4 ? 32 + rng() % 95 : rng() % 256);
            row.text(Field(f)) = s;
        }
        r.append(row);
    }
    ReadingTable rb;
    ASSERT_TRUE(LoadXmlSnapshotBytes(XmlSnapshotBytes(r), rb).ok);
    EXPECT_EQ(RowsOf(rb), RowsOf(r));
}

TEST_F(DataFiles, BadSnapshotsLeaveTheTableAlone) {
    ReadingTable one;
    one.append(Row(1, "12:00:01", "DC", "1.5", "V", "pass", 15));
    const std::string good = XmlSnapshotBytes(one);
    auto replaced = [&](std::string_view from, std::string_view to) {
        std::string s = good;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            s.replace(at, from.size(), to);
        return s;
    };
    ReadingTable probe;
    ASSERT_TRUE(LoadXmlSnapshotBytes(good, probe).ok);
    ASSERT_TRUE(LoadXmlSnapshotBytes(replaced("<row>1\t", "<row>+0001\t"), probe).ok);
    EXPECT_EQ(probe.integer(0, Field::No), 1);
    ASSERT_TRUE(LoadXmlSnapshotBytes(replaced("<row>1\t", "<row><!-- c -->\\N\t"), probe).ok);
    EXPECT_EQ(probe.integer(0, Field::No), std::nullopt);

    const std::string secret = dir_.filePath("secret.txt").toStdString();
    WriteBytes(dir_.filePath("secret.txt"), "SECRET");
    const std::string external =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE readingtable [\n<!ENTITY s SYSTEM \"file://" + secret +
        "\">\n]>\n" + good.substr(good.find("<readingtable"));
    const std::string bomb =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE readingtable [\n<!ENTITY a \"aaaaaaaaaaaaaaaa\">\n"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">\n"
        "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">\n"
        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">\n"
        "]>\n" +
        replaced("12:00:01", "&f;").substr(good.find("<readingtable"));

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"empty", ""},
        {"text table", std::string(kHeader) + "1\ta\r\n"},
        {"not closed", good.substr(0, good.size() - 20)},
        {"wrong root", replaced("<readingtable", "<table")},
        {"wrong version", replaced("version=\"1\"", "version=\"2\"")},
        {"no version", replaced(" version=\"1\"", "")},
        {"root attribute", replaced("version=\"1\"", "version=\"1\" x=\"y\"")},
        {"prefixed attribute",
         replaced("version=\"1\"", "version=\"1\" xmlns:p=\"urn:x\" p:version=\"1\"")},
        {"duplicate attribute", replaced("version=\"1\"", "version=\"1\" version=\"1\"")},
        {"field attribute", replaced("type=\"int32\"", "type=\"int32\" size=\"20\"")},
        {"field renamed", replaced("name=\"value\"", "name=\"valu\"")},
        {"field retyped", replaced("type=\"int32\"", "type=\"text\"")},
        {"field resized", replaced("size=\"20\"", "size=\"30\"")},
        {"field missing", replaced("<field name=\"nval\" type=\"int32\"/>", "")},
        {"field extra", replaced("</fields>", "<field name=\"x\" type=\"text\"/></fields>")},
        {"no fields", replaced("<fields>", "<fieldz>")},
        {"bad number", replaced("\t15</row>", "\t15x</row>")},
        {"number too big", replaced("\t15</row>", "\t2147483648</row>")},
        {"empty number", replaced("\t15</row>", "\t</row>")},
        {"spaced number", replaced("\t15</row>", "\t 15</row>")},
        {"six fields", replaced("\tpass\t15</row>", "\tpass</row>")},
        {"eight fields", replaced("\t15</row>", "\t15\t16</row>")},
        {"empty row", replaced("<row>1\t12:00:01\tDC\t1.5\tV\tpass\t15</row>", "<row/>")},
        {"attribute on row", replaced("<row>", "<row x=\"1\">")},
        {"bad escape", replaced("12:00:01", "12\\q")},
        {"short escape", replaced("12:00:01", "12\\x4")},
        {"null inside a text", replaced("12:00:01", "12\\N")},
        {"child in row", replaced("\t15</row>", "\t15<b/></row>")},
        {"text in rows", replaced("</rows>", "x</rows>")},
        {"other element", replaced("<rows>", "<rows><col/>")},
        {"second root", good + "<readingtable/>"},
        {"undeclared entity", replaced("12:00:01", "&x;")},
        {"namespace", replaced("<readingtable", "<readingtable xmlns=\"urn:x\"")},
        {"instruction", replaced("<rows>", "<rows><?pi x?>")},
        {"external entity", external},
        {"entity bomb", bomb},
    };
    for (const auto& [what, bytes] : bad) {
        ReadingTable t;
        t.appendRecorded(5, "kept", "AC", "2", "A", "Fail", 2);
        const uint64_t generation = t.generation();
        const LoadOutcome out = LoadXmlSnapshotBytes(bytes, t);
        EXPECT_FALSE(out.ok) << what;
        EXPECT_EQ(out.message, "Failed to Load File!") << what;
        EXPECT_FALSE(out.detail.empty()) << what;
        EXPECT_EQ(RowsOf(t), std::vector<RowData>{Row(5, "kept", "AC", "2", "A", "Fail", 2)})
            << what;
        EXPECT_EQ(t.generation(), generation) << what;
    }

    // Through a file too, and the referenced file is never read into the table.
    WriteBytes(path("ext.xml"), external);
    ReadingTable t;
    const LoadOutcome out = LoadTableFromFile(path("ext.xml"), t, false);
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(t.empty());

    // With the empty-first flag the table is emptied whatever the outcome.
    ReadingTable emptied;
    emptied.appendRecorded(5, "kept", "AC", "2", "A", "Fail", 2);
    EXPECT_FALSE(LoadTableFromFile(path("ext.xml"), emptied, true).ok);
    EXPECT_TRUE(emptied.empty());

    // Every cut of a good snapshot short of its end fails.
    for (size_t cut = 0; cut + 1 < good.size(); cut += 7) {
        ReadingTable c;
        EXPECT_FALSE(LoadXmlSnapshotBytes(good.substr(0, cut), c).ok) << cut;
        EXPECT_TRUE(c.empty()) << cut;
    }
}

}  // namespace
}  // namespace dmm
