// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The two forms of a data file. A name ending in ".xml" (exactly, case
// included) holds an XML snapshot of the whole table, all seven fields with
// empty ones kept empty; any other name holds the tab-separated text table:
//   No<TAB>Time<TAB>DC/AC<TAB>Value<TAB>Unit<TAB>AUTO<CR><LF>
//   then one line per row, texts trimmed, "NULL" for a text left empty,
//   nval not written, every line ending in CR LF.
// The loader splits a text line at any run of characters of code 1..32; a
// token starting with a double quote runs to its closing quote ("" inside
// stands for one quote). Texts are held as UTF-8: a text line that is not
// valid UTF-8 (written in a Windows code page) is read as Windows-1252.

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
    // The message the window shows. Text table on success: "save table to
    // specified file: NAME Scuss!"; snapshot on success: empty. Either form
    // on failure: "Could not save table to specified file: NAME", a line
    // break and the reason.
    std::string message;
    std::string reason;   // on failure, the system's reason ("No space left on device")
    int systemError = 0;  // its error number, 0 for a reason of the program's own
};

struct SaveOptions {
    // A FIFO that nobody reads yet is waited for (the command line), rather
    // than failing at once (the window).
    bool waitForReader = false;
};

// Writes the text table. A regular file is replaced only once the new one is
// completely written and synced, so a failed save leaves it intact; a FIFO or
// a device is written into and stays what it is.
SaveOutcome SaveTableToFile(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options = {});
// Writes the XML snapshot in the same way.
SaveOutcome SaveXmlSnapshot(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options = {});
// The save button's choice of form by the file name.
SaveOutcome SaveDataFile(const ReadingTable& table, const QString& fileName,
                         const SaveOptions& options = {});

// The most rows a load may leave in a table: as many as the longest
// recording holds. A file with more fails before memory grows beyond them.
inline constexpr size_t kMostTableRows = 10000000;

struct LoadOutcome {
    bool ok = false;
    FileForm form = FileForm::Text;
    size_t rowsLoaded = 0;  // rows added (text) or now held (snapshot)
    std::string message;    // kLoadFailedText on failure
    std::string detail;     // what went wrong, shown below the message
};

// A text line longer than this fails the load: no reading needs a megabyte,
// and the reader keeps at most one line besides its read block. A snapshot's
// row is held to the same length.
inline constexpr size_t kMaxTextLineBytes = size_t(1) << 20;
// The text loader reads the file in blocks of this size.
inline constexpr size_t kTextReadBlockBytes = size_t(4) << 20;

// Called now and then while loading with the bytes read so far and the file
// size; returning false abandons the load as a failure.
using LoadProgress = std::function<bool(int64_t done, int64_t total)>;

// Reads either form into the table. Text rows are appended after the rows
// already held; a line that fails ends the load, keeping the rows before it
// and leaving no part of the failing line behind. A snapshot replaces the
// table's rows, and only when the whole file has been read. emptyFirst
// empties the table before anything is read, whatever the outcome. The table
// never grows beyond maxRows rows: the row that would pass it fails the load.
// A file that is not a regular one (a FIFO, a device) is waited on with the
// progress report asked now and then whether to go on.
LoadOutcome LoadTableFromFile(const QString& fileName, ReadingTable& table, bool emptyFirst,
                              const LoadProgress& progress = {}, size_t maxRows = kMostTableRows);

// The text table's tokenizer, for one line.
std::vector<std::string> SplitTokens(std::string_view line);

// The text table as bytes (header and rows), as SaveTableToFile writes it.
std::string TextTableBytes(const ReadingTable& table);
// Its header line and one row's line, CR LF included, for writers that
// stream rows as they are recorded.
std::string_view TextTableHeader();
void AppendTextRow(std::string& out, const ReadingTable& table, size_t row);

// The text table loader on its own: appends the rows of the file (the file's
// first line being the header), reading it in blocks of blockBytes. Every line
// that is not valid UTF-8 is read as Windows-1252; a file that starts with a
// UTF-16 byte-order mark is read as UTF-16. A NUL byte fails the line it is
// in (in the first line: the file is not text), and a binary or zipped
// spreadsheet is refused by its first bytes.
LoadOutcome LoadTextTableFile(const QString& fileName, ReadingTable& table,
                              const LoadProgress& progress = {},
                              size_t blockBytes = kTextReadBlockBytes,
                              size_t maxRows = kMostTableRows);
// The same over bytes already in memory.
LoadOutcome LoadTextTableBytes(std::string_view bytes, ReadingTable& table,
                               const LoadProgress& progress = {}, size_t maxRows = kMostTableRows);

// The snapshot loader on its own: replaces the table's rows once the whole
// snapshot has been read; on any failure the table is left as it was. A row
// longer than a text line may be fails the load.
LoadOutcome LoadXmlSnapshot(const QString& fileName, ReadingTable& table,
                            const LoadProgress& progress = {}, size_t maxRows = kMostTableRows);
// The same over bytes already in memory.
LoadOutcome LoadXmlSnapshotBytes(std::string_view bytes, ReadingTable& table,
                                 const LoadProgress& progress = {},
                                 size_t maxRows = kMostTableRows);
// The snapshot as bytes, as SaveXmlSnapshot writes it.
std::string XmlSnapshotBytes(const ReadingTable& table);

}  // namespace dmm
