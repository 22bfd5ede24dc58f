// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/data_files.h"

// The choice of form by the file name; each form lives in a file of its own:
// text_table_write.cpp, text_table_read.cpp and xml_snapshot.cpp, over the
// character sets of text_encoding.h and the byte sources and committed saves
// of data_file_io.h.

namespace dmm {

FileForm FormOf(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot >= 0 && QStringView(fileName).mid(dot) == u".xml")
        return FileForm::Xml;
    return FileForm::Text;
}

SaveOutcome SaveDataFile(const ReadingTable& table, const QString& fileName,
                         const SaveOptions& options) {
    return FormOf(fileName) == FileForm::Xml ? SaveXmlSnapshot(table, fileName, options)
                                             : SaveTableToFile(table, fileName, options);
}

LoadOutcome LoadTableFromFile(const QString& fileName, ReadingTable& table, bool emptyFirst,
                              const LoadProgress& progress, size_t maxRows) {
    if (emptyFirst)
        table.clear();
    return FormOf(fileName) == FileForm::Xml
               ? LoadXmlSnapshot(fileName, table, progress, maxRows)
               : LoadTextTableFile(fileName, table, progress, kTextReadBlockBytes, maxRows);
}

}  // namespace dmm
