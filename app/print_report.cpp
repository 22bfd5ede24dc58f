#include "app/print_report.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QList>
#include <QObject>
#include <QPaintEngine>
#include <QPainter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRawFont>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "app/lcd_widgets.h"

namespace dmm::app {
namespace {

constexpr double kMmPerPoint = 25.4 / 72.0;
constexpr double kFontPoints = 10.0;  // 13 pixels at the screen's 96 dots per inch

// The report's default face draws symbol letters as their symbols, as the
// window's symbol face does; the headings and the verdicts hold none, so only
// the unit column needs the letters turned into symbols. DC/AC and the first
// four columns are in Arial.
enum class Face { Report, Arial };

// Band tops from the top of the paper; the footer sits at the bottom of the
// printable area.
constexpr double kPageHeaderTop = ReportLayout::kMargin;
constexpr double kColumnHeaderTop = kPageHeaderTop + ReportLayout::kPageHeaderHeight;
constexpr double kFirstDetailTop = kColumnHeaderTop + ReportLayout::kColumnHeaderHeight;
constexpr double kPageFooterTop =
    ReportLayout::kPaperHeight - ReportLayout::kMargin - ReportLayout::kPageFooterHeight;

// Texts: left and top in millimetres from their band's left and top edge.
constexpr double kTitleTop = 2.1;
const char* const kTitle = "The Data Print Title";

struct Heading {
    const char* text;
    double left;
    Face face;
};
constexpr double kHeadingTop = 4.2;
constexpr Heading kHeadings[] = {
    {"No", 8.5, Face::Report},     {"Time", 33.9, Face::Report},  {"DC/AC", 64.3, Face::Arial},
    {"Value", 99.5, Face::Report}, {"Unit", 132.3, Face::Report}, {"AUTO", 163.0, Face::Report},
};

struct Column {
    Field field;
    double left;
    Face face;
};
constexpr double kDetailTextTop = 2.1;
constexpr Column kColumns[] = {
    {Field::No, 8.5, Face::Arial},      {Field::Time, 33.9, Face::Arial},
    {Field::DcAc, 65.6, Face::Arial},   {Field::Value, 99.5, Face::Arial},
    {Field::Unit, 131.2, Face::Report}, {Field::Auto, 163.0, Face::Report},
};

constexpr double kFooterLeft = 8.5;
constexpr double kFooterTop = 4.2;
const char* const kFooter = "The Data Print Foot";

// The table's text fields in the order a layout row keeps their ids.
constexpr std::array<Field, 5> kTextFields = {Field::Time, Field::DcAc, Field::Value, Field::Unit,
                                              Field::Auto};

int TextSlot(Field field) {
    const auto* it = std::find(kTextFields.begin(), kTextFields.end(), field);
    return it == kTextFields.end() ? -1 : int(it - kTextFields.begin());
}

QFont FaceFont(Face face, double dotsPerMm) {
    QFont font(QStringLiteral("Arial"));
    if (face == Face::Report) {
        // The same face the window's symbol labels are drawn in; fontconfig
        // maps Arial to its metric twin where Arial itself is missing.
        font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPixelSize(std::max(1, int(std::lround(kFontPoints * kMmPerPoint * dotsPerMm))));
    return font;
}

// Writes texts at millimetre places, each with the top of its line at the
// given top, switching fonts only when the face changes.
class PageWriter {
  public:
    PageWriter(QPainter& painter, double dotsPerMm)
        : painter_(painter),
          dotsPerMm_(dotsPerMm),
          fonts_{FaceFont(Face::Report, dotsPerMm), FaceFont(Face::Arial, dotsPerMm)},
          metrics_{QFontMetricsF(fonts_[0], painter.device()),
                   QFontMetricsF(fonts_[1], painter.device())} {
        painter_.setPen(Qt::black);
        // Laying out each short text afresh costs a PDF page more than all
        // the rest of its drawing, and a long report has thousands of pages;
        // there the texts go in as runs of the face's own glyphs. Elsewhere
        // (the preview records its pages as pictures) plain text is cheaper.
        const QPaintEngine* engine = painter.paintEngine();
        if (engine != nullptr && engine->type() == QPaintEngine::Pdf) {
            for (int i = 0; i < 2; ++i)
                raw_[i] = QRawFont::fromFont(fonts_[i]);
        }
    }

    void write(Face face, double leftMm, double topMm, const QString& text) {
        if (text.isEmpty())
            return;
        const int i = index(face);
        const QPointF baseline(leftMm * dotsPerMm_, topMm * dotsPerMm_ + metrics_[i].ascent());
        if (writeGlyphs(raw_[i], baseline, text))
            return;
        if (current_ != i) {
            painter_.setFont(fonts_[i]);
            current_ = i;
        }
        painter_.drawText(baseline, text);
    }

    double widthMm(Face face, const QString& text) const {
        return metrics_[index(face)].horizontalAdvance(text) / dotsPerMm_;
    }

  private:
    static int index(Face face) { return face == Face::Report ? 0 : 1; }

    // False when the text needs a character the face does not have: drawText
    // finds it another face.
    bool writeGlyphs(const QRawFont& raw, QPointF baseline, const QString& text) {
        if (!raw.isValid())
            return false;
        for (const QChar ch : text) {
            if (!raw.supportsCharacter(ch))
                return false;
        }
        const QList<quint32> glyphs = raw.glyphIndexesForString(text);
        const QList<QPointF> advances =
            raw.advancesForGlyphIndexes(glyphs, QRawFont::KernedAdvances);
        positions_.resize(advances.size());
        QPointF pen;
        for (qsizetype g = 0; g < advances.size(); ++g) {
            positions_[g] = pen;
            pen += advances[g];
        }
        QGlyphRun run;
        run.setRawFont(raw);
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions_);
        painter_.drawGlyphRun(baseline, run);
        return true;
    }

    QPainter& painter_;
    double dotsPerMm_;
    QFont fonts_[2];
    QFontMetricsF metrics_[2];
    QRawFont raw_[2];  // only while painting on a PDF engine
    QList<QPointF> positions_;
    int current_ = -1;
};

// The PDF writer takes buffers of several megabytes for every page it
// finishes and gives them back at once; with the C library's default
// trimming each is returned to the kernel and faulted in afresh, which costs
// more than drawing the page. While a report prints, freed memory stays in
// the heap; afterwards the library's default limits are set again and what
// printing kept is handed back.
class HeapKeptWhilePrinting {
  public:
    HeapKeptWhilePrinting() {
#if defined(__GLIBC__)
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
    }
    ~HeapKeptWhilePrinting() {
#if defined(__GLIBC__)
        mallopt(M_MMAP_THRESHOLD, kDefaultThreshold);
        mallopt(M_TRIM_THRESHOLD, kDefaultThreshold);
        malloc_trim(0);
#endif
    }
    HeapKeptWhilePrinting(const HeapKeptWhilePrinting&) = delete;
    HeapKeptWhilePrinting& operator=(const HeapKeptWhilePrinting&) = delete;

  private:
    static constexpr int kDefaultThreshold = 128 * 1024;
};

}  // namespace

ReportLayout::ReportLayout(const ReadingTable& table) {
    rows_.reserve(table.size());
    // A recording repeats its function, unit and verdict from row to row, so
    // most texts are settled by a look at the column's previous one.
    std::array<std::string_view, kTextFields.size()> lastText{};
    std::array<uint32_t, kTextFields.size()> lastId{};
    for (size_t r = 0; r < table.size(); ++r) {
        Row row{};
        const std::optional<int32_t> no = table.integer(r, Field::No);
        row.hasNo = no.has_value();
        row.no = no.value_or(0);
        for (size_t slot = 0; slot < kTextFields.size(); ++slot) {
            const std::string_view text = table.text(r, kTextFields[slot]);
            if (text.empty()) {
                row.text[slot] = 0;
                continue;
            }
            if (lastId[slot] == 0 || text != lastText[slot]) {
                lastId[slot] = texts_.intern(text);
                lastText[slot] = texts_.text(lastId[slot]);
            }
            row.text[slot] = lastId[slot];
        }
        rows_.push_back(row);
    }
}

int ReportLayout::rowsPerPage() const {
    const double room = kPageFooterTop - kFirstDetailTop;
    // A hair of slack so that rounding in the heights never costs a row.
    return std::max(1, int(std::floor(room / kDetailHeight + 1e-9)));
}

int ReportLayout::pageCount() const {
    const int perPage = rowsPerPage();
    return (rowCount() + perPage - 1) / perPage;
}

QString ReportLayout::text(const Row& row, Field field) const {
    if (field == Field::No)
        return row.hasNo ? QString::number(row.no) : QString();
    const int slot = TextSlot(field);
    if (slot < 0)
        return {};
    const std::string_view text = texts_.text(row.text[slot]);
    const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
    return field == Field::Unit ? SymbolText(decoded) : decoded;
}

void ReportLayout::paintPage(QPainter& painter, int page, double dotsPerMm) const {
    if (page < 0 || page >= pageCount() || !(dotsPerMm > 0))
        return;
    painter.save();
    painter.fillRect(QRectF(0, 0, kPaperWidth * dotsPerMm, kPaperHeight * dotsPerMm), Qt::white);
    PageWriter out(painter, dotsPerMm);

    const QString title = QString::fromLatin1(kTitle);
    out.write(Face::Report, kMargin + (kBandWidth - out.widthMm(Face::Report, title)) / 2,
              kPageHeaderTop + kTitleTop, title);

    for (const Heading& heading : kHeadings) {
        out.write(heading.face, kMargin + heading.left, kColumnHeaderTop + kHeadingTop,
                  QString::fromLatin1(heading.text));
    }

    const int perPage = rowsPerPage();
    const int first = page * perPage;
    const int end = std::min(rowCount(), first + perPage);
    for (int r = first; r < end; ++r) {
        const double top = kFirstDetailTop + (r - first) * kDetailHeight + kDetailTextTop;
        for (const Column& column : kColumns)
            out.write(column.face, kMargin + column.left, top,
                      text(rows_[size_t(r)], column.field));
    }

    out.write(Face::Report, kMargin + kFooterLeft, kPageFooterTop + kFooterTop,
              QString::fromLatin1(kFooter));
    painter.restore();
}

void ReportLayout::print(QPrinter* printer) const {
    if (printer == nullptr || pageCount() == 0)
        return;
    int first = 0;
    int last = pageCount() - 1;
    if (printer->printRange() == QPrinter::PageRange) {
        if (printer->fromPage() > 0)
            first = printer->fromPage() - 1;
        if (printer->toPage() > 0)
            last = std::min(last, printer->toPage() - 1);
    }
    if (first > last)
        return;

    const HeapKeptWhilePrinting heap;
    QPainter painter;
    if (!painter.begin(printer))
        return;
    // Our own margins place every band, so work from the paper's corner
    // whatever margins the printer dialog left on the printer.
    if (!printer->fullPage())
        painter.translate(-printer->pageRect(QPrinter::DevicePixel).topLeft());
    const double dotsPerMm = printer->resolution() / 25.4;
    for (int page = first; page <= last; ++page) {
        if (page > first)
            printer->newPage();
        paintPage(painter, page, dotsPerMm);
    }
}

void SetUpReportPrinter(QPrinter& printer) {
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageMargins(QMarginsF(ReportLayout::kMargin, ReportLayout::kMargin,
                                     ReportLayout::kMargin, ReportLayout::kMargin),
                           QPageLayout::Millimeter);
    printer.setFullPage(true);
    printer.setCopyCount(1);
    printer.setDuplex(QPrinter::DuplexNone);
    printer.setPrintRange(QPrinter::AllPages);
    printer.setPaperSource(QPrinter::Upper);
}

void ShowReportPreview(QWidget* parent, const ReadingTable& table) {
    const ReportLayout report(table);
    QPrinter printer(QPrinter::HighResolution);
    SetUpReportPrinter(printer);
    QPrintPreviewDialog preview(&printer, parent);
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, &preview,
                     [&report](QPrinter* target) { report.print(target); });
    preview.exec();
}

}  // namespace dmm::app
