// SPDX-License-Identifier: GPL-3.0-or-later
// Saving and loading a million recorded rows in both file forms:
// save_txt_ms_1m, load_txt_ms_1m, save_xml_ms_1m, load_xml_ms_1m (best of
// three runs each), plus the file sizes; then what memory a save and the
// files a load must refuse cost at their peak: save_txt_peak_mb_1m,
// load_too_many_rows_peak_mb (a text table of 10.5 million rows, refused at
// the 10,000,001st) and load_long_xml_row_peak_mb (one snapshot row of
// 100 MB). Files go to a temporary directory.

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "record/data_files.h"

namespace {

using namespace dmm;
using Clock = std::chrono::steady_clock;

// One recorded reading a second: the time changes every row and wraps each
// day, the value wanders by a few counts.
ReadingTable RecordedRows(size_t rows) {
    std::mt19937 rng(11);
    ReadingTable table;
    int value = 12345;
    for (size_t i = 0; i < rows; ++i) {
        value += int(rng() % 21) - 10;
        if (value < -19999 || value > 19999)
            value = 0;
        const unsigned s = unsigned((i + 12 * 3600) % 86400);
        char time[16], text[16];
        std::snprintf(time, sizeof time, "%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
        std::snprintf(text, sizeof text, "%s%d.%04d", value < 0 ? "-" : "", std::abs(value) / 10000,
                      std::abs(value) % 10000);
        table.appendRecorded(int32_t(i + 1), time, "DC", text, "V", "pass", value);
    }
    return table;
}

template <class F>
double BestMs(F&& run) {
    double best = 1e30;
    for (int k = 0; k < 3; ++k) {
        const auto start = Clock::now();
        run();
        best =
            std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

// A line of /proc/self/status in MiB ("VmRSS:", "VmHWM:").
double StatusMiB(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stod(line.substr(key.size())) / 1024.0;
    }
    return -1;
}

// How far resident memory rises above where it stood while run() runs.
template <class F>
double PeakGrowthMiB(F&& run) {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    const double before = StatusMiB("VmRSS:");
    run();
    return StatusMiB("VmHWM:") - before;
}

void WriteRepeated(const QString& path, const std::string& head, const std::string& block,
                   int times, const std::string& tail) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        std::exit(1);
    file.write(head.data(), qint64(head.size()));
    for (int i = 0; i < times; ++i)
        file.write(block.data(), qint64(block.size()));
    file.write(tail.data(), qint64(tail.size()));
}

[[noreturn]] void Fail(const char* what, const std::string& why) {
    std::fprintf(stderr, "%s failed: %s\n", what, why.c_str());
    std::exit(1);
}

}  // namespace

int main() {
    constexpr size_t kRows = 1000000;
    QTemporaryDir dir;
    if (!dir.isValid())
        Fail("temporary directory", dir.errorString().toStdString());
    const ReadingTable table = RecordedRows(kRows);
    const QString txt = dir.filePath("readings.txt");
    const QString xml = dir.filePath("readings.xml");

    const double saveTxt = BestMs([&] {
        const SaveOutcome o = SaveTableToFile(table, txt);
        if (!o.ok)
            Fail("text save", o.message);
    });
    const double loadTxt = BestMs([&] {
        ReadingTable back;
        const LoadOutcome o = LoadTableFromFile(txt, back, false);
        if (!o.ok || back.size() != kRows)
            Fail("text load", o.detail);
    });
    const double saveXml = BestMs([&] {
        const SaveOutcome o = SaveXmlSnapshot(table, xml);
        if (!o.ok)
            Fail("snapshot save", o.message);
    });
    const double loadXml = BestMs([&] {
        ReadingTable back;
        const LoadOutcome o = LoadTableFromFile(xml, back, false);
        if (!o.ok || back.size() != kRows || !(back.row(kRows - 1) == table.row(kRows - 1))) {
            Fail("snapshot load", o.detail);
        }
    });

    const double savePeak = PeakGrowthMiB([&] { SaveTableToFile(table, txt); });

    const QString many = dir.filePath("many.txt");
    std::string lines;
    for (int i = 0; i < 1000; ++i)
        lines += "1\n";
    WriteRepeated(many, "header\n", lines, 10500, "");
    const double manyPeak = PeakGrowthMiB([&] {
        ReadingTable back;
        if (LoadTableFromFile(many, back, false).ok)
            Fail("the refusal of too many rows", "it loaded");
    });
    QFile::remove(many);

    const QString longRow = dir.filePath("long.xml");
    const std::string snapshot = XmlSnapshotBytes(RecordedRows(1));
    const size_t at = snapshot.find("<row>") + 5;
    WriteRepeated(longRow, snapshot.substr(0, at), std::string(1 << 20, 'x'), 100,
                  snapshot.substr(at));
    const double longRowPeak = PeakGrowthMiB([&] {
        ReadingTable back;
        if (LoadTableFromFile(longRow, back, false).ok)
            Fail("the refusal of a long row", "it loaded");
    });

    std::printf("save_txt_ms_1m %.1f ms\n", saveTxt);
    std::printf("load_txt_ms_1m %.1f ms\n", loadTxt);
    std::printf("save_xml_ms_1m %.1f ms\n", saveXml);
    std::printf("load_xml_ms_1m %.1f ms\n", loadXml);
    std::printf("txt_file_bytes_1m %lld bytes\n", static_cast<long long>(QFileInfo(txt).size()));
    std::printf("xml_file_bytes_1m %lld bytes\n", static_cast<long long>(QFileInfo(xml).size()));
    std::printf("save_txt_peak_mb_1m %.1f MiB\n", savePeak);
    std::printf("load_too_many_rows_peak_mb %.1f MiB\n", manyPeak);
    std::printf("load_long_xml_row_peak_mb %.1f MiB\n", longRowPeak);
    return 0;
}
