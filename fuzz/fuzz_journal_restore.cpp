// SPDX-License-Identifier: GPL-3.0-or-later
// Restoring a journal from any bytes: it must neither crash nor hang, must
// count exactly the rows it added, must read the file to the same rows in
// blocks of any size, and what it restored, journalled again, must restore
// to the same rows. Every line the fast reader takes, the general reader
// takes to the same row.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_file_support.h"
#include "record/journal.h"
#include "record/journal_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, end; (end = bytes.find('\n', start)) != bytes.npos; start = end + 1) {
        const std::string_view line = bytes.substr(start, end - start);
        if (const auto fast = dmm::ParseOwnJournalRow(line)) {
            std::string why;
            const auto general = dmm::ParseJsonRow(line, why);
            if (!general || !(*general == *fast))
                std::abort();
        }
    }
    const QString path = dmm::fuzz::WorkFile("journal.jsonl");
    dmm::fuzz::WriteFileOrAbort(path, bytes);

    dmm::ReadingTable table;
    table.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    const dmm::LoadOutcome out = dmm::RestoreJournal(path, table);
    if (table.size() != 1 + out.rowsLoaded || out.ok != out.message.empty())
        std::abort();

    dmm::ReadingTable inBlocks;
    inBlocks.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    const size_t block = size > 0 ? 1 + data[size - 1] % 61 : 1;
    const dmm::LoadOutcome viaBlocks =
        dmm::RestoreJournal(path, inBlocks, {}, dmm::kMostTableRows, block);
    if (viaBlocks.ok != out.ok || viaBlocks.detail != out.detail ||
        !dmm::fuzz::SameRows(table, inBlocks))
        std::abort();

    dmm::ReadingTable again;
    again.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
    // One journal for the whole run, emptied for each input, as a save
    // empties it.
    static dmm::Journal journal(dmm::fuzz::WorkFile("journals"));
    static const bool opened = journal.open();
    if (!opened)
        std::abort();
    journal.restart();
    for (size_t i = 1; i < table.size(); ++i)
        journal.append(table, i, "AUTO");
    journal.flush();
    const dmm::LoadOutcome back = dmm::RestoreJournal(journal.path(), again);
    if (!back.ok || journal.failed() || !dmm::fuzz::SameRows(table, again))
        std::abort();
    return 0;
}
