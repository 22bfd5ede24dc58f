// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/print_report.h"

#include <QAction>
#include <QFont>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QList>
#include <QObject>
#include <QPaintEngine>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QRawFont>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

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

int ReportLayout::rowsPerPage() const {
    const double room = kPageFooterTop - kFirstDetailTop;
    // A hair of slack so that rounding in the heights never costs a row.
    return std::max(1, int(std::floor(room / kDetailHeight + 1e-9)));
}

int ReportLayout::pageCount() const {
    const int perPage = rowsPerPage();
    return (rowCount() + perPage - 1) / perPage;
}

QString ReportLayout::text(int row, Field field) const {
    if (field == Field::No) {
        const std::optional<int32_t> no = rows_.integer(size_t(row), Field::No);
        return no ? QString::number(*no) : QString();
    }
    const std::string_view text = rows_.text(size_t(row), field);
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
            out.write(column.face, kMargin + column.left, top, text(r, column.field));
    }

    out.write(Face::Report, kMargin + kFooterLeft, kPageFooterTop + kFooterTop,
              QString::fromLatin1(kFooter));
    painter.restore();
}

void ReportLayout::print(QPrinter* printer) const {
    print(printer, {});
}

bool ReportLayout::print(QPrinter* printer, const std::function<bool(int, int)>& progress) const {
    if (printer == nullptr || pageCount() == 0)
        return true;
    int first = 0;
    int last = pageCount() - 1;
    if (printer->printRange() == QPrinter::PageRange) {
        if (printer->fromPage() > 0)
            first = printer->fromPage() - 1;
        if (printer->toPage() > 0)
            last = std::min(last, printer->toPage() - 1);
    }
    if (first > last)
        return true;

    const HeapKeptWhilePrinting heap;
    QPainter painter;
    if (!painter.begin(printer))
        return true;
    // Our own margins place every band, so work from the paper's corner
    // whatever margins the printer dialog left on the printer.
    if (!printer->fullPage())
        painter.translate(-printer->pageRect(QPrinter::DevicePixel).topLeft());
    const double dotsPerMm = printer->resolution() / 25.4;
    const int total = last - first + 1;
    for (int page = first; page <= last; ++page) {
        if (page > first)
            printer->newPage();
        paintPage(painter, page, dotsPerMm);
        if (progress && !progress(page - first + 1, total)) {
            printer->abort();
            return false;
        }
    }
    return true;
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

// The page on screen: white paper at the preview's zoom, painted from the
// layout when it is drawn.
class ReportPreview::PageView : public QWidget {
  public:
    explicit PageView(ReportPreview& preview) : QWidget(nullptr), preview_(preview) {
        setObjectName(QStringLiteral("PreviewPage"));
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    void fitZoom() {
        resize(int(std::lround(ReportLayout::kPaperWidth * preview_.zoom())),
               int(std::lround(ReportLayout::kPaperHeight * preview_.zoom())));
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.fillRect(rect(), Qt::white);
        preview_.report_.paintPage(painter, preview_.currentPage(), preview_.zoom());
        emit preview_.pagePainted(preview_.currentPage());
    }

  private:
    ReportPreview& preview_;
};

ReportPreview::ReportPreview(const ReportLayout& report, QWidget* parent)
    : QDialog(parent), report_(report) {
    setObjectName(QStringLiteral("ReportPreview"));
    setWindowTitle(QStringLiteral("Print Preview"));
    auto* bar = new QToolBar(this);
    bar->setObjectName(QStringLiteral("PreviewBar"));
    // Page turning with the usual pictures; zoom and print in words.
    auto action = [this, bar](const char* name, const QString& text, int icon, auto handler) {
        QAction* a =
            icon < 0 ? bar->addAction(text)
                     : bar->addAction(style()->standardIcon(QStyle::StandardPixmap(icon)), text);
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, handler);
        return a;
    };
    action("FirstPage", QStringLiteral("First page"), QStyle::SP_MediaSkipBackward,
           [this] { setCurrentPage(0); });
    action("PreviousPage", QStringLiteral("Previous page"), QStyle::SP_MediaSeekBackward,
           [this] { setCurrentPage(page_ - 1); });
    pageBox_ = new QSpinBox(bar);
    pageBox_->setObjectName(QStringLiteral("PageNumber"));
    pageBox_->setRange(pageCount() > 0 ? 1 : 0, std::max(1, pageCount()));
    pageBox_->setKeyboardTracking(false);
    bar->addWidget(pageBox_);
    pageTotal_ = new QLabel(QStringLiteral(" / %1 ").arg(pageCount()), bar);
    bar->addWidget(pageTotal_);
    connect(pageBox_, &QSpinBox::valueChanged, this, [this](int n) { setCurrentPage(n - 1); });
    action("NextPage", QStringLiteral("Next page"), QStyle::SP_MediaSeekForward,
           [this] { setCurrentPage(page_ + 1); });
    action("LastPage", QStringLiteral("Last page"), QStyle::SP_MediaSkipForward,
           [this] { setCurrentPage(pageCount() - 1); });
    bar->addSeparator();
    action("ZoomOut", QStringLiteral("Zoom out"), -1, [this] { setZoom(zoom_ / 1.25); });
    action("ZoomIn", QStringLiteral("Zoom in"), -1, [this] { setZoom(zoom_ * 1.25); });
    action("FitWidth", QStringLiteral("Fit width"), -1,
           [this] { setZoom((scroll_->viewport()->width() - 8) / ReportLayout::kPaperWidth); });
    bar->addSeparator();
    QAction* print =
        action("PrintReport", QStringLiteral("Print..."), -1, [this] { printReport(); });
    print->setEnabled(pageCount() > 0);

    view_ = new PageView(*this);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("PreviewArea"));
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setBackgroundRole(QPalette::Dark);
    scroll_->setWidget(view_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(scroll_);

    // Most of the screen's height, the page fitted to it.
    const QScreen* shown = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const int height = shown ? shown->availableGeometry().height() * 9 / 10 : 900;
    zoom_ = std::max(1.0, (height - 60) / ReportLayout::kPaperHeight);
    resize(int(ReportLayout::kPaperWidth * zoom_) + 40, height);
    view_->fitZoom();
    showPage();
}

void ReportPreview::setCurrentPage(int page) {
    page = std::clamp(page, 0, std::max(0, pageCount() - 1));
    if (page == page_)
        return;
    page_ = page;
    showPage();
}

void ReportPreview::setZoom(double pixelsPerMm) {
    zoom_ = std::clamp(pixelsPerMm, 0.5, 20.0);
    view_->fitZoom();
}

void ReportPreview::showPage() {
    if (pageBox_->value() != page_ + 1 && pageCount() > 0) {
        const QSignalBlocker quiet(pageBox_);
        pageBox_->setValue(page_ + 1);
    }
    view_->update();
}

void ReportPreview::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_PageDown:
            setCurrentPage(page_ + 1);
            return;
        case Qt::Key_PageUp:
            setCurrentPage(page_ - 1);
            return;
        case Qt::Key_Home:
            setCurrentPage(0);
            return;
        case Qt::Key_End:
            setCurrentPage(pageCount() - 1);
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void ReportPreview::printReport() {
    QPrinter printer(QPrinter::HighResolution);
    SetUpReportPrinter(printer);
    QPrintDialog dialog(&printer, this);
    dialog.setMinMax(1, std::max(1, pageCount()));
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    PrintWithProgress(report_, printer, this);
}

bool PrintWithProgress(const ReportLayout& report, QPrinter& printer, QWidget* parent) {
    QProgressDialog progress(QStringLiteral("Printing..."), QStringLiteral("Cancel"), 0,
                             std::max(1, report.pageCount()), parent);
    progress.setObjectName(QStringLiteral("PrintProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    const bool done = report.print(&printer, [&progress](int printed, int total) {
        progress.setMaximum(total);
        progress.setValue(printed);  // a window-modal dialog lets events through here
        return !progress.wasCanceled();
    });
    progress.reset();
    return done;
}

void ShowReportPreview(QWidget* parent, const ReadingTable& table) {
    const ReportLayout report(table);
    ReportPreview preview(report, parent);
    preview.exec();
}

}  // namespace dmm::app
