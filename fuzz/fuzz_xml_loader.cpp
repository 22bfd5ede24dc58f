// SPDX-License-Identifier: GPL-3.0-or-later
// The snapshot loader over any bytes: it must neither crash nor hang; a
// failed load leaves the table as it was; a table it loaded loads the same
// from a file and saves to a snapshot that loads back to the same rows.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_file_support.h"
#include "record/data_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    dmm::ReadingTable table;
    table.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    const dmm::RowData before = table.row(0);
    const dmm::LoadOutcome out = dmm::LoadXmlSnapshotBytes(bytes, table);
    if (!out.ok) {
        if (table.size() != 1 || !(table.row(0) == before))
            std::abort();
        return 0;
    }
    if (out.rowsLoaded != table.size())
        std::abort();

    // From a file, fed to the XML reader a piece at a time: the same rows.
    const QString path = dmm::fuzz::WorkFile("snapshot.xml");
    dmm::fuzz::WriteFileOrAbort(path, bytes);
    dmm::ReadingTable fromFile;
    if (!dmm::LoadXmlSnapshot(path, fromFile).ok || !dmm::fuzz::SameRows(table, fromFile))
        std::abort();

    const std::string saved = dmm::XmlSnapshotBytes(table);
    dmm::ReadingTable back;
    const dmm::LoadOutcome again = dmm::LoadXmlSnapshotBytes(saved, back);
    if (!again.ok || !dmm::fuzz::SameRows(table, back))
        std::abort();
    return 0;
}
