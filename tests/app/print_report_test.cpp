// SPDX-License-Identifier: GPL-3.0-or-later
// The printed report, read back from the PDF it prints (texts and their
// places, by pdftotext) and from a page painted into an image.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/lcd_widgets.h"
#include "app/print_report.h"

namespace dmm::app {
namespace {

constexpr double kMmPerPoint = 25.4 / 72.0;
constexpr double kTolerance = 0.5;  // mm

// Where the texts' tops and lefts belong, in mm from the paper's corner.
constexpr double kTitleTop = 10 + 2.1;
constexpr double kHeadingTop = 10 + 10.58 + 4.2;
constexpr double kFirstRowTop = 10 + 10.58 + 10.58 + 2.1;
constexpr double kRowPitch = 6.61;
constexpr double kFooterTop = 297 - 10 - 10.58 + 4.2;
constexpr double kNoLeft = 18.5, kTimeLeft = 43.9, kDcAcLeft = 75.6, kValueLeft = 109.5,
                 kUnitLeft = 141.2, kAutoLeft = 173.0;

struct Word {
    QString text;
    double left, top, right;  // mm
};
using PdfPage = std::vector<Word>;

// The words of every page of a PDF, with their boxes.
std::vector<PdfPage> ReadPdf(const QString& path) {
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"),
                    {QStringLiteral("-bbox"), path, QStringLiteral("-")});
    EXPECT_TRUE(pdftotext.waitForFinished(120000)) << "pdftotext did not finish";
    EXPECT_EQ(pdftotext.exitCode(), 0) << pdftotext.readAllStandardError().toStdString();
    std::vector<PdfPage> pages;
    QXmlStreamReader xml(pdftotext.readAllStandardOutput());
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("page")) {
            pages.emplace_back();
        } else if (xml.name() == QLatin1String("word") && !pages.empty()) {
            const auto mm = [&](const char* name) {
                return xml.attributes().value(QLatin1String(name)).toDouble() * kMmPerPoint;
            };
            Word word{{}, mm("xMin"), mm("yMin"), mm("xMax")};
            word.text = xml.readElementText();
            pages.back().push_back(word);
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return pages;
}

// Prints the report as a PDF; returns its path (the file may not exist).
QString PrintPdf(const ReportLayout& report, const QTemporaryDir& dir,
                 const std::function<void(QPrinter&)>& adjust = {}) {
    const QString path = dir.filePath(QStringLiteral("report.pdf"));
    QFile::remove(path);
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    SetUpReportPrinter(printer);
    if (adjust)
        adjust(printer);
    report.print(&printer);
    return path;
}

// The words whose tops lie on the line at `top`.
std::vector<Word> Line(const PdfPage& page, double top) {
    std::vector<Word> line;
    for (const Word& word : page) {
        if (std::abs(word.top - top) < kTolerance)
            line.push_back(word);
    }
    return line;
}

// The text of the word starting at `left` on a line; "<none>" when there is
// no such word.
QString TextAt(const std::vector<Word>& line, double left) {
    for (const Word& word : line) {
        if (std::abs(word.left - left) < kTolerance)
            return word.text;
    }
    return QStringLiteral("<none>");
}

std::string Time(int second) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", second / 3600 % 24, second / 60 % 60,
                  second % 60);
    return text;
}

// Rows numbered from `firstNo`, with a value that tells them apart.
ReadingTable Readings(int count, int firstNo = 1, const char* dcac = "DC") {
    ReadingTable table;
    for (int i = 0; i < count; ++i) {
        const std::string value = std::to_string(1000 + i);
        table.appendRecorded(firstNo + i, Time(43200 + i), dcac, value, "V", "pass", 1000 + i);
    }
    return table;
}

// The row numbers printed on a page, top to bottom, checking that they stand
// in the number column at the detail band's pitch.
std::vector<int> RowNumbers(const PdfPage& page) {
    std::vector<int> numbers;
    for (const Word& word : page) {
        if (std::abs(word.left - kNoLeft) < kTolerance && word.top > kFirstRowTop - kTolerance &&
            word.top < kFooterTop - 2) {
            const double bands = (word.top - kFirstRowTop) / kRowPitch;
            EXPECT_NEAR(bands, std::round(bands), kTolerance / kRowPitch)
                << word.text.toStdString();
            EXPECT_EQ(int(std::round(bands)), int(numbers.size()));
            numbers.push_back(word.text.toInt());
        }
    }
    return numbers;
}

// Title, headings and footer at their places.
void ExpectPageFrame(const PdfPage& page) {
    const std::vector<Word> title = Line(page, kTitleTop);
    ASSERT_EQ(title.size(), 4u);
    EXPECT_EQ(title.front().text + title.back().text, QStringLiteral("TheTitle"));
    EXPECT_NEAR((title.front().left + title.back().right) / 2, 10 + 189.97 / 2, kTolerance);

    const std::vector<Word> headings = Line(page, kHeadingTop);
    EXPECT_EQ(headings.size(), 6u);
    EXPECT_EQ(TextAt(headings, 18.5), QStringLiteral("No"));
    EXPECT_EQ(TextAt(headings, 43.9), QStringLiteral("Time"));
    EXPECT_EQ(TextAt(headings, 74.3), QStringLiteral("DC/AC"));
    EXPECT_EQ(TextAt(headings, 109.5), QStringLiteral("Value"));
    EXPECT_EQ(TextAt(headings, 142.3), QStringLiteral("Unit"));
    EXPECT_EQ(TextAt(headings, 173.0), QStringLiteral("AUTO"));

    const std::vector<Word> footer = Line(page, kFooterTop);
    ASSERT_EQ(footer.size(), 4u);
    EXPECT_EQ(TextAt(footer, 18.5), QStringLiteral("The"));
    EXPECT_EQ(footer.back().text, QStringLiteral("Foot"));
}

class PrintReport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(qApp, nullptr);
        ASSERT_TRUE(dir.isValid());
    }
    QTemporaryDir dir;
};

TEST_F(PrintReport, EmptyTableHasNoPagesAndPrintsNothing) {
    const ReadingTable table;
    const ReportLayout report(table);
    EXPECT_EQ(report.rowCount(), 0);
    EXPECT_EQ(report.pageCount(), 0);
    EXPECT_FALSE(QFileInfo::exists(PrintPdf(report, dir)));

    QImage image(100, 100, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QPainter painter(&image);
    report.paintPage(painter, 0, 1.0);
    painter.end();
    EXPECT_EQ(image.pixel(50, 50), QColor(Qt::gray).rgb());
}

TEST_F(PrintReport, OnePagePlacesEveryTextAndPrintsFieldsAsTheyAre) {
    ReadingTable table;
    table.appendRecorded(7, "12:00:01", "DC", "1.234", "V", "pass", 1234);
    RowData blank;  // as a loaded text file leaves it: empty function and nval
    blank.no = 8;
    blank.time = "12:00:02";
    blank.value = "0.567";
    blank.unit = "uA";
    blank.judge = "Fail";
    table.append(blank);
    table.appendRecorded(9, "12:00:03", "AC", "10.01", "k*", "", 1001);
    table.appendRecorded(10, "12:00:04", "DC", "0.512", ")", "pass", 512);  // diode: another face

    const ReportLayout report(table);
    EXPECT_EQ(report.pageCount(), 1);
    const std::vector<PdfPage> pages = ReadPdf(PrintPdf(report, dir));
    ASSERT_EQ(pages.size(), 1u);
    const PdfPage& page = pages[0];
    ExpectPageFrame(page);

    const std::vector<Word> first = Line(page, kFirstRowTop);
    EXPECT_EQ(first.size(), 6u);
    EXPECT_EQ(TextAt(first, kNoLeft), QStringLiteral("7"));
    EXPECT_EQ(TextAt(first, kTimeLeft), QStringLiteral("12:00:01"));
    EXPECT_EQ(TextAt(first, kDcAcLeft), QStringLiteral("DC"));
    EXPECT_EQ(TextAt(first, kValueLeft), QStringLiteral("1.234"));
    EXPECT_EQ(TextAt(first, kUnitLeft), QStringLiteral("V"));
    EXPECT_EQ(TextAt(first, kAutoLeft), QStringLiteral("pass"));

    // The empty function leaves its column blank, and the unit letters print
    // as the grid's symbols.
    const std::vector<Word> second = Line(page, kFirstRowTop + kRowPitch);
    EXPECT_EQ(second.size(), 5u);
    for (const Word& word : second)
        EXPECT_FALSE(word.right > kDcAcLeft - 1 && word.left < kValueLeft - 1);
    EXPECT_EQ(TextAt(second, kNoLeft), QStringLiteral("8"));
    EXPECT_EQ(TextAt(second, kUnitLeft), SymbolText(QStringLiteral("uA")));
    EXPECT_EQ(TextAt(second, kUnitLeft), QStringLiteral("\u00B5A"));
    EXPECT_EQ(TextAt(second, kAutoLeft), QStringLiteral("Fail"));

    const std::vector<Word> third = Line(page, kFirstRowTop + 2 * kRowPitch);
    EXPECT_EQ(third.size(), 5u);
    EXPECT_EQ(TextAt(third, kUnitLeft), QStringLiteral("k\u03A9"));
    EXPECT_EQ(TextAt(third, kAutoLeft), QStringLiteral("<none>"));  // no verdict
    const std::vector<Word> fourth = Line(page, kFirstRowTop + 3 * kRowPitch);
    EXPECT_EQ(TextAt(fourth, kUnitLeft), SymbolText(QStringLiteral(")")));
    EXPECT_EQ(TextAt(fourth, kAutoLeft), QStringLiteral("pass"));

    for (const Word& word : page)
        EXPECT_NE(word.text, QStringLiteral("NULL"));
    // Title 4 words, headings 6, footer 4, rows 6 + 5 + 5 + 6.
    EXPECT_EQ(page.size(), 4u + 6u + 4u + 22u);
}

TEST_F(PrintReport, EveryPageRepeatsItsBandsAndRowsRunOnAcrossPages) {
    const ReadingTable table = Readings(200);
    const ReportLayout report(table);
    // 277 mm of paper between the margins, less three 10.58 mm bands, holds
    // 37 detail bands of 6.61 mm.
    EXPECT_EQ(report.rowsPerPage(), 37);
    EXPECT_EQ(report.pageCount(), 6);

    const std::vector<PdfPage> pages = ReadPdf(PrintPdf(report, dir));
    ASSERT_EQ(pages.size(), 6u);
    std::vector<int> numbers;
    for (size_t p = 0; p < pages.size(); ++p) {
        SCOPED_TRACE(p);
        ExpectPageFrame(pages[p]);
        const std::vector<int> onPage = RowNumbers(pages[p]);
        EXPECT_EQ(onPage.size(), p + 1 < pages.size() ? 37u : 200u - 5 * 37u);
        numbers.insert(numbers.end(), onPage.begin(), onPage.end());
    }
    ASSERT_EQ(numbers.size(), 200u);
    for (size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], int(i) + 1);
}

TEST_F(PrintReport, PrintsThePageRangeChosenInThePrinterDialog) {
    const ReportLayout report(Readings(200));
    const auto pagesTwoToThree = [](QPrinter& printer) {
        printer.setPrintRange(QPrinter::PageRange);
        printer.setFromTo(2, 3);
    };
    const std::vector<PdfPage> pages = ReadPdf(PrintPdf(report, dir, pagesTwoToThree));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(RowNumbers(pages[0]).front(), 38);
    EXPECT_EQ(RowNumbers(pages[1]).back(), 111);

    const auto beyondTheEnd = [](QPrinter& printer) {
        printer.setPrintRange(QPrinter::PageRange);
        printer.setFromTo(7, 9);
    };
    EXPECT_FALSE(QFileInfo::exists(PrintPdf(report, dir, beyondTheEnd)));
}

TEST_F(PrintReport, KeepsTheRowsItWasLaidOutWith) {
    ReadingTable table = Readings(40);
    const ReportLayout report(table);

    // Recording goes on, then the table is cleared and refilled, and finally
    // replaced by a load: the report shows none of it.
    for (int i = 0; i < 100; ++i)
        table.appendRecorded(41 + i, "13:00:00", "AC", "9.999", "*", "Fail", 9999);
    EXPECT_EQ(report.rowCount(), 40);
    EXPECT_EQ(report.pageCount(), 2);
    table.clear();
    table.appendRecorded(500, "14:00:00", "AC", "5.5", "m", "Fail", 55);
    table.replaceWith(Readings(3, 900, "OHM"));

    const std::vector<PdfPage> pages = ReadPdf(PrintPdf(report, dir));
    ASSERT_EQ(pages.size(), 2u);
    std::vector<int> numbers = RowNumbers(pages[0]);
    const std::vector<int> more = RowNumbers(pages[1]);
    numbers.insert(numbers.end(), more.begin(), more.end());
    ASSERT_EQ(numbers.size(), 40u);
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers.back(), 40);
    const std::vector<Word> last = Line(pages[1], kFirstRowTop + 2 * kRowPitch);
    EXPECT_EQ(TextAt(last, kTimeLeft), QString::fromStdString(Time(43200 + 39)));
    EXPECT_EQ(TextAt(last, kValueLeft), QStringLiteral("1039"));
    EXPECT_EQ(TextAt(last, kDcAcLeft), QStringLiteral("DC"));
    EXPECT_EQ(TextAt(last, kUnitLeft), QStringLiteral("V"));
}

// A page painted at 96 dots per inch: ink only inside the bands, on white.
TEST_F(PrintReport, PaintedPageHasInkOnlyInItsBands) {
    const ReportLayout report(Readings(60));
    const double dotsPerMm = 96 / 25.4;
    const auto px = [&](double mm) { return int(std::lround(mm * dotsPerMm)); };
    const auto isInk = [](QRgb pixel) { return qGray(pixel) < 160; };

    for (const int pageIndex : {0, 1}) {
        SCOPED_TRACE(pageIndex);
        QImage image(px(210), px(297), QImage::Format_RGB32);
        image.fill(QColor(0, 0, 255));  // anything the page leaves unpainted shows blue
        {
            QPainter painter(&image);
            report.paintPage(painter, pageIndex, dotsPerMm);
        }
        const int rows = pageIndex == 0 ? 37 : 60 - 37;
        const double detailEnd = 10 + 2 * 10.58 + rows * kRowPitch;
        const auto inBands = [&](int x, int y) {
            const bool across = x >= px(10) && x < px(200);
            return across && ((y >= px(10) && y < px(detailEnd)) ||
                              (y >= px(297 - 10 - 10.58) && y < px(287)));
        };
        int strays = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (!inBands(x, y))
                    strays += image.pixel(x, y) != qRgb(255, 255, 255);
            }
        }
        EXPECT_EQ(strays, 0);

        // Ink in a box given in mm.
        const auto inkIn = [&](double left, double top, double right, double bottom) {
            int ink = 0;
            for (int y = px(top); y < px(bottom); ++y) {
                for (int x = px(left); x < px(right); ++x)
                    ink += isInk(image.pixel(x, y));
            }
            return ink;
        };
        EXPECT_GT(inkIn(80, 10, 130, 20.58), 20) << "title";
        EXPECT_GT(inkIn(18.5, 20.58, 30, 31.16), 10) << "heading No";
        EXPECT_GT(inkIn(173, 20.58, 190, 31.16), 10) << "heading AUTO";
        EXPECT_GT(inkIn(18.5, 276.42, 60, 287), 20) << "footer";
        for (int r = 0; r < rows; ++r) {
            const double top = 10 + 2 * 10.58 + r * kRowPitch;
            EXPECT_GT(inkIn(kNoLeft, top, kTimeLeft - 2, top + kRowPitch), 5) << "row " << r;
            EXPECT_GT(inkIn(kUnitLeft, top, kAutoLeft - 2, top + kRowPitch), 5) << "row " << r;
            // Nothing in the empty stretch between the time and the function.
            EXPECT_EQ(inkIn(kTimeLeft + 15, top, kDcAcLeft - 1, top + kRowPitch), 0) << r;
        }
    }

    // Pages that do not exist paint nothing.
    QImage image(px(210), px(297), QImage::Format_RGB32);
    image.fill(QColor(0, 0, 255));
    {
        QPainter painter(&image);
        report.paintPage(painter, 2, dotsPerMm);
        report.paintPage(painter, -1, dotsPerMm);
        report.paintPage(painter, 0, 0.0);
    }
    EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2), qRgb(0, 0, 255));
}

// Runs ShowReportPreview and hands the open preview to `inspect`, then
// closes it.
void WithPreview(const ReadingTable& table, const std::function<void(ReportPreview&)>& inspect) {
    bool seen = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* preview = qobject_cast<ReportPreview*>(QApplication::activeModalWidget());
        if (preview == nullptr || seen)
            return;
        seen = true;
        inspect(*preview);
        preview->reject();
    });
    // Should the preview never show, do not hang the run.
    QTimer::singleShot(60000, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    poll.start();
    ShowReportPreview(nullptr, table);
    EXPECT_TRUE(seen);
}

// Waits until the preview has painted a page; the page, or -1 on time-out.
int NextPaintedPage(ReportPreview& preview) {
    QSignalSpy painted(&preview, &ReportPreview::pagePainted);
    if (!painted.wait(10000))
        return -1;
    return painted.takeFirst().at(0).toInt();
}

TEST_F(PrintReport, PreviewShowsTheReportAsLaidOutAtTheClick) {
    ReadingTable table = Readings(100);
    WithPreview(table, [&](ReportPreview& preview) {
        EXPECT_EQ(preview.pageCount(), 3);
        // Readings recorded and a table replaced while the preview is open
        // reach the report only at the next click.
        for (int i = 0; i < 50; ++i)
            table.appendRecorded(101 + i, "13:00:00", "AC", "1.0", "V", "pass", 10);
        table.clear();
        EXPECT_EQ(preview.pageCount(), 3);
    });
    ASSERT_TRUE(table.empty());
    WithPreview(table, [](ReportPreview& preview) { EXPECT_EQ(preview.pageCount(), 0); });
}

TEST_F(PrintReport, PreviewPaintsThePageOnShowWhenItIsShown) {
    const ReadingTable table = Readings(100);
    WithPreview(table, [](ReportPreview& preview) {
        preview.setCurrentPage(2);
        EXPECT_EQ(NextPaintedPage(preview), 2);
        // Page Up turns back; the first page cannot be left backwards.
        QTest::keyClick(&preview, Qt::Key_PageUp);
        EXPECT_EQ(NextPaintedPage(preview), 1);
        preview.setCurrentPage(-5);
        EXPECT_EQ(preview.currentPage(), 0);
    });
}

TEST_F(PrintReport, PrintingTellsItsProgressAndCanBeCancelled) {
    const ReportLayout report(Readings(200));  // 6 pages
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath(QStringLiteral("cancelled.pdf")));
    SetUpReportPrinter(printer);
    std::vector<int> told;
    EXPECT_FALSE(report.print(&printer, [&](int printed, int total) {
        told.push_back(printed);
        EXPECT_EQ(total, 6);
        return printed < 2;
    }));
    EXPECT_EQ(told, std::vector<int>({1, 2}));
}

}  // namespace
}  // namespace dmm::app

// The application object lives from before the first test to after the last.
class QtApplication : public ::testing::Environment {
  public:
    QtApplication(int& argc, char** argv) : argc_(argc), argv_(argv) {}
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

  private:
    int& argc_;
    char** argv_;
    std::unique_ptr<QApplication> app_;
};

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtApplication(argc, argv));
    return RUN_ALL_TESTS();
}
