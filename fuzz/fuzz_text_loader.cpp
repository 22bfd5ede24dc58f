// SPDX-License-Identifier: GPL-3.0-or-later
// The text table loader over any bytes: it must neither crash nor hang, must
// count exactly the rows it added, must read its own output again, and must
// read the same bytes from a file, in blocks of any size, to the same rows.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_file_support.h"
#include "record/data_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    dmm::ReadingTable table;
    table.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    const dmm::LoadOutcome out = dmm::LoadTextTableBytes(bytes, table);
    if (table.size() != 1 + out.rowsLoaded)
        std::abort();
    if (out.ok != out.message.empty())
        std::abort();

    // From a file in small blocks: the same rows and the same outcome.
    const QString path = dmm::fuzz::WorkFile("table.txt");
    dmm::fuzz::WriteFileOrAbort(path, bytes);
    dmm::ReadingTable fromFile;
    fromFile.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    const size_t block = size > 0 ? 1 + data[size - 1] % 61 : 1;
    const dmm::LoadOutcome viaFile = dmm::LoadTextTableFile(path, fromFile, {}, block);
    if (viaFile.ok != out.ok || viaFile.detail != out.detail ||
        !dmm::fuzz::SameRows(table, fromFile))
        std::abort();

    // What the table saves is a text table the loader takes whole: six fields
    // a line at most, and "NULL" wherever a text would be empty.
    dmm::ReadingTable again;
    // Every saved row is one line that gives tokens, so a load that goes
    // through gives every row back.
    const dmm::LoadOutcome back = dmm::LoadTextTableBytes(dmm::TextTableBytes(table), again);
    if (back.ok ? back.rowsLoaded != table.size() : back.rowsLoaded >= table.size())
        std::abort();
    return 0;
}
