#pragma once
// The two forms of a data file. A name ending in ".xml" (exactly, case
// included) holds an XML snapshot of the whole table, all seven fields with
// empty ones kept empty; any other name holds the tab-separated text table:
//   No<TAB>Time<TAB>DC/AC<TAB>Value<TAB>Unit<TAB>AUTO<CR><LF>
//   then one line per row, texts trimmed, "NULL" for a text left empty,
//   nval not written, every line ending in CR LF.
// The loader splits a text line at any run of characters of code 1..32; a
// token starting with a double quote runs to its closing quote ("" inside
// stands for one quote).

#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "record/reading_table.h"

namespace dmm {

inline constexpr std::string_view kSaveFailedText = "Could not save table to specified file: ";
inline constexpr std::string_view kSavedText = "save table to specified file: ";
inline constexpr std::string_view kSavedSuffix = " Scuss!";
inline constexpr std::string_view kLoadFailedText = "Failed to Load File!";

enum class FileForm { Text, Xml };

// ".xml" selects the snapshot; anything else, ".XML" included, the text table.
FileForm FormOf(const QString& fileName);

struct SaveOutcome {
    bool ok = false;
    FileForm form = FileForm::Text;
    // Text table: the message the window shows either way ("save table to
    // specified file: NAME Scuss!" or "Could not save table to specified
    // file: NAME"). Snapshot: empty on success, else the failure's own text.
    std::string message;
};

// Writes the text table. The old file is replaced only once the new one is
// completely written, so a failed save leaves it intact.
SaveOutcome SaveTableToFile(const ReadingTable& table, const QString& fileName);
// Writes the XML snapshot, equally atomically.
SaveOutcome SaveXmlSnapshot(const ReadingTable& table, const QString& fileName);
// The save button's choice of form by the file name.
SaveOutcome SaveDataFile(const ReadingTable& table, const QString& fileName);

struct LoadOutcome {
    bool ok = false;
    FileForm form = FileForm::Text;
    size_t rowsLoaded = 0;  // rows added (text) or now held (snapshot)
    std::string message;    // kLoadFailedText on failure
    std::string detail;     // what went wrong, for logs and tests
};

// Called now and then while loading with the bytes read so far and the file
// size; returning false abandons the load as a failure.
using LoadProgress = std::function<bool(int64_t done, int64_t total)>;

// Reads either form into the table. Text rows are appended after the rows
// already held; a line that fails ends the load, keeping the rows before it
// and leaving no part of the failing line behind. A snapshot replaces the
// table's rows, and only when the whole file has been read.
LoadOutcome LoadTableFromFile(const QString& fileName, ReadingTable& table, bool emptyFirst,
                              const LoadProgress& progress = {});

// The text table's tokenizer, for one line.
std::vector<std::string> SplitTokens(std::string_view line);

// The text table as bytes (header and rows), as SaveTableToFile writes it.
std::string TextTableBytes(const ReadingTable& table);

}  // namespace dmm
