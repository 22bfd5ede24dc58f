// SPDX-License-Identifier: GPL-3.0-or-later
// The save path with a write failure at any byte: the input's first two bytes
// set a file size limit, the rest is a text table that gives the rows. Each
// form is saved over an old file under that limit. A save that goes through
// leaves exactly the table's bytes; one that fails says why and leaves the
// old file byte for byte, with nothing else in the folder.

#include <sys/resource.h>

#include <QDir>
#include <QFileInfo>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_file_support.h"
#include "record/data_files.h"

namespace {

std::string ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    return file.readAll().toStdString();
}

void SaveUnderLimit(const dmm::ReadingTable& table, const char* name, rlim_t limit,
                    const std::string& expected) {
    const QString path = dmm::fuzz::WorkFile(name);
    const std::string old = "old " + std::string(name);
    dmm::fuzz::WriteFileOrAbort(path, old);
    const QStringList before = QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden);

    // Past the limit a write fails with EFBIG rather than ending the process
    // (the fuzzer's own handler for the signal is replaced here).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &small);
    const dmm::SaveOutcome out = dmm::SaveDataFile(table, path);
    setrlimit(RLIMIT_FSIZE, &saved);

    const std::string now = ReadAll(path);
    if (out.ok ? now != expected : (now != old || out.reason.empty()))
        std::abort();
    if (out.ok != (expected.size() <= limit))
        std::abort();
    if (QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden) != before)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const rlim_t limit = rlim_t(data[0]) << 8 | data[1];
    dmm::ReadingTable table;
    dmm::LoadTextTableBytes(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2),
                            table);
    SaveUnderLimit(table, "table.txt", limit, dmm::TextTableBytes(table));
    SaveUnderLimit(table, "table.xml", limit, dmm::XmlSnapshotBytes(table));
    return 0;
}
