// SPDX-License-Identifier: GPL-3.0-or-later
// The printed report of a long recording, offscreen.
//   report_layout_ms_100k   laying out 100,000 rows and printing every page
//                           to a PDF file
//   report_bytes_per_row    memory the layout keeps per row
//   report_preview_open_ms_1m  from the click to the first page of 1,000,000
//                              rows painted in the preview
//   report_preview_mb_1m       memory the open preview holds above the table

#include <QApplication>
#include <QFileInfo>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/print_report.h"
#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kRows = 100000;

// A recording of a reading that wanders over a few thousand values, with the
// function, unit and verdict changing now and then.
dmm::ReadingTable Recording(size_t rows) {
    dmm::ReadingTable table;
    char time[16];
    for (size_t i = 0; i < rows; ++i) {
        const int second = int(i % 86400);
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", second / 3600, second / 60 % 60,
                      second % 60);
        const std::string value = std::to_string(1.0 + double(i % 5000) / 1000.0).substr(0, 5);
        table.appendRecorded(int32_t(i + 1), time, i % 7 ? "DC" : "AC", value, i % 3 ? "V" : "k*",
                             i % 11 ? "pass" : "Fail", int32_t(i % 5000));
    }
    return table;
}

// The preview of a million rows: the time until its first page is on
// screen and the memory it holds then, above the table's own.
void PreviewFigures() {
    constexpr size_t kPreviewRows = 1000000;
    const dmm::ReadingTable table = Recording(kPreviewRows);
    const size_t before = dmm::bench::ResidentBytes();
    double openMs = -1;
    size_t open = before;
    const auto start = Clock::now();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* preview = qobject_cast<dmm::app::ReportPreview*>(QApplication::activeModalWidget());
        if (preview == nullptr || poll.property("hooked").toBool())
            return;
        poll.setProperty("hooked", true);
        QObject::connect(preview, &dmm::app::ReportPreview::pagePainted, preview, [&, preview] {
            if (openMs >= 0)
                return;
            openMs = dmm::bench::Seconds(Clock::now() - start) * 1e3;
            open = dmm::bench::ResidentBytes();
            preview->reject();
        });
    });
    poll.start(1);
    dmm::app::ShowReportPreview(nullptr, table);
    std::printf("report_preview_open_ms_1m %.0f ms\n", openMs);
    std::printf("report_preview_mb_1m %.1f MB\n",
                double(open > before ? open - before : 0) / (1024.0 * 1024.0));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const dmm::ReadingTable table = Recording(kRows);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString path = dir.filePath(QStringLiteral("report.pdf"));

    const size_t before = dmm::bench::ResidentBytes();
    const auto start = Clock::now();
    const dmm::app::ReportLayout report(table);
    const auto laidOut = Clock::now();
    const size_t after = dmm::bench::ResidentBytes();
    {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(path);
        dmm::app::SetUpReportPrinter(printer);
        report.print(&printer);
    }
    const auto printed = Clock::now();

    std::printf("report_pages_100k %d pages\n", report.pageCount());
    std::printf("report_copy_ms_100k %.1f ms\n", dmm::bench::Seconds(laidOut - start) * 1e3);
    std::printf("report_layout_ms_100k %.0f ms\n", dmm::bench::Seconds(printed - start) * 1e3);
    std::printf("report_pdf_kb_100k %.0f kB\n", double(QFileInfo(path).size()) / 1024.0);
    std::printf("report_bytes_per_row %.1f bytes\n",
                double(after > before ? after - before : 0) / double(kRows));
    PreviewFigures();
    return 0;
}
