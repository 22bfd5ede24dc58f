// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The printed report QuickRep1: the reading table as a plain list on A4
// portrait paper, one detail band per row under a page header and column
// headings, with a page footer at the bottom of every page.
//
// The layout keeps the rows it was made from. The preview stays open while
// readings go on being recorded, and a background load may replace the whole
// table meanwhile; the report holds a snapshot of the table, which shares the
// table's rows and texts (a recorded row never changes) and keeps them when
// the table is cleared or replaced, so it costs next to nothing however long
// the recording.

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

#include "record/reading_table.h"

class QKeyEvent;
class QLabel;
class QPainter;
class QPrinter;
class QScrollArea;
class QSpinBox;
class QWidget;

namespace dmm::app {

class ReportLayout {
  public:
    // Paper and band geometry, in millimetres.
    static constexpr double kPaperWidth = 210.0;
    static constexpr double kPaperHeight = 297.0;
    static constexpr double kMargin = 10.0;
    static constexpr double kBandWidth = 189.97;
    static constexpr double kPageHeaderHeight = 10.58;
    static constexpr double kColumnHeaderHeight = 10.58;
    static constexpr double kDetailHeight = 6.61;
    static constexpr double kPageFooterHeight = 10.58;

    // Lays the report out from the table's rows as they are now.
    explicit ReportLayout(const ReadingTable& table) : rows_(table.snapshot()) {}

    int rowCount() const { return int(rows_.size()); }
    // No rows, no pages: an empty table prints nothing at all.
    int pageCount() const;
    int rowsPerPage() const;

    // Paints page `page` (0-based) with the paper's top left corner at the
    // painter's origin, at dotsPerMm device units per millimetre. A page
    // outside the report paints nothing.
    void paintPage(QPainter& painter, int page, double dotsPerMm) const;

    // Prints every page (or the range chosen in the printer dialog) on the
    // printer. With no pages the printer is never started, so a PDF printer
    // writes no file.
    void print(QPrinter* printer) const;
    // The same, telling progress after each page (pages printed, pages to
    // print); progress returning false cancels the print job. False when it
    // was cancelled.
    bool print(QPrinter* printer, const std::function<bool(int, int)>& progress) const;

  private:
    QString text(int row, Field field) const;

    ReadingTable::Snapshot rows_;
};

// The report's printer settings: A4 portrait, 10 mm margins, one copy, one
// side, all pages, first paper tray.
void SetUpReportPrinter(QPrinter& printer);

// The print preview: one page of the report at a time, painted when it is
// shown, so a report of thousands of pages opens as fast as one of a single
// page and holds no page it does not show. Page turning (buttons, the page
// box, Page Up and Page Down), zoom, and a print command that prints with
// progress and can be cancelled.
class ReportPreview : public QDialog {
    Q_OBJECT
  public:
    ReportPreview(const ReportLayout& report, QWidget* parent = nullptr);

    int pageCount() const { return report_.pageCount(); }
    int currentPage() const { return page_; }  // 0-based
    void setCurrentPage(int page);
    double zoom() const { return zoom_; }  // screen pixels per millimetre
    void setZoom(double pixelsPerMm);

    // The print command: the printer dialog, then every chosen page with a
    // progress dialog whose Cancel ends the job.
    void printReport();

  signals:
    // A page has been painted on screen.
    void pagePainted(int page);

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    class PageView;
    void showPage();

    const ReportLayout& report_;
    PageView* view_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QSpinBox* pageBox_ = nullptr;
    QLabel* pageTotal_ = nullptr;
    int page_ = 0;
    double zoom_ = 3.0;
};

// Prints the report on the printer with a progress dialog over parent; its
// Cancel aborts the job. False when cancelled.
bool PrintWithProgress(const ReportLayout& report, QPrinter& printer, QWidget* parent);

// BtPrint's preview: lays the report out from the table and shows it in a
// modal ReportPreview. Returns when the user closes the preview; the
// application's other events go on being handled meanwhile.
void ShowReportPreview(QWidget* parent, const ReadingTable& table);

}  // namespace dmm::app
