// The text table loader over any bytes: it must neither crash nor hang, must
// count exactly the rows it added, and must read its own output again.

#include <cstdint>
#include <cstdlib>
#include <string_view>

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
