// SPDX-License-Identifier: GPL-3.0-or-later
// Writing the text table: a header line, then one line per row with texts
// trimmed and "NULL" for a text left empty, every line ending in CR LF.
#include <charconv>
#include <string>

#include "decode/text_rules.h"
#include "record/data_file_io.h"
#include "record/data_files.h"

namespace dmm {

namespace {

constexpr std::string_view kHeaderLine = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n";
constexpr std::string_view kNullText = "NULL";
constexpr Field kTextFields[] = {Field::Time, Field::DcAc, Field::Value, Field::Unit, Field::Auto};

void AppendTrimmedOrNull(std::string& out, std::string_view text) {
    text = TrimControl(text);
    out += text.empty() ? kNullText : text;
}

}  // namespace

std::string_view TextTableHeader() {
    return kHeaderLine;
}

void AppendTextRow(std::string& out, const ReadingTable& table, size_t r) {
    if (const auto no = table.integer(r, Field::No)) {
        char digits[16];
        const auto res = std::to_chars(digits, digits + sizeof digits, *no);
        out.append(digits, res.ptr);
    }
    for (const Field f : kTextFields) {
        out += '\t';
        AppendTrimmedOrNull(out, table.text(r, f));
    }
    out += "\r\n";
}

std::string TextTableBytes(const ReadingTable& table) {
    std::string out;
    out.reserve(kHeaderLine.size() + table.size() * 48);
    out += kHeaderLine;
    for (size_t r = 0; r < table.size(); ++r)
        AppendTextRow(out, table, r);
    return out;
}

SaveOutcome SaveTableToFile(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options) {
    return WriteDataFile(fileName, FileForm::Text, options, [&](FileOutput& file) {
        // Rows go out a buffer's worth at a time: a save never holds the file.
        std::string piece(kHeaderLine);
        for (size_t r = 0; r < table.size(); ++r) {
            AppendTextRow(piece, table, r);
            if (piece.size() >= FileOutput::kBufferBytes) {
                if (!file.write(piece))
                    return false;
                piece.clear();
            }
        }
        return file.write(piece);
    });
}

}  // namespace dmm
